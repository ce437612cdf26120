"""An RTSP server for the recorder's tests, on GStreamer's RTSP server library: on a free
loopback port it serves /cam, a live 320 x 240 test picture at 25 per second as motion
JPEG over RTP. Prints "ready PORT" once it listens, then serves until it is killed.

Run with Debian's python3, which has GStreamer's bindings (python3-gi,
gir1.2-gst-rtsp-server-1.0)."""

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

Gst.init(None)
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service("0")  # a free port, chosen by the system
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch(
    "( videotestsrc is-live=true pattern=smpte "
    "! video/x-raw,format=I420,width=320,height=240,framerate=25/1 "
    "! jpegenc ! rtpjpegpay name=pay0 pt=26 )")
factory.set_shared(True)
server.get_mount_points().add_factory("/cam", factory)
server.attach(None)
print("ready", server.get_bound_port(), flush=True)
GLib.MainLoop().run()
