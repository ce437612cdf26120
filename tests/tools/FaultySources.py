"""Misbehaving sources on loopback, in seconds since the MJPEG camera's first client: it sends
25 pictures a second, half a picture at 6 s and none at 18 s, keeping the connection and closing
new ones for 4 s; the sorvo:// peer says 4999x4999 at 25/s and sends 160x120 at 10/s; the MPEG-TS
sender to udp://127.0.0.1:UDP_PORT is killed at 8 s and started at 14 s. Args: FOLDER UDP_PORT."""
import glob, socketserver, struct, subprocess, sys, threading, time

def ffmpeg(*output, run=subprocess.run, live=()):
    return run(["ffmpeg", "-loglevel", "error", *live, "-f", "lavfi", "-i",
                "testsrc=size=160x120:rate=25:duration=40", *output])
send = lambda: ffmpeg("-c:v", "mpeg2video", "-g", "5", "-f", "mpegts",
                      "udp://127.0.0.1:" + sys.argv[2], run=subprocess.Popen, live=("-re",))
ffmpeg(sys.argv[1] + "/%05d.jpg", "-r", "10", "-c:v", "mpeg4", "-f", "image2",
       sys.argv[1] + "/%05d.m4v")
pictures = lambda kind: [open(f, "rb").read() for f in sorted(glob.glob(sys.argv[1] + kind))]
jpegs, m4vs, sender, start = pictures("/*.jpg"), pictures("/*.m4v"), [send()], []

def mjpeg(link):
    if not start:
        start.append(time.monotonic())
        threading.Timer(8, sender[0].kill).start()
        threading.Timer(14, lambda: sender.append(send())).start()
    now = time.monotonic() - start[0]
    if 6 <= now < 10 or 18 <= now < 22:
        return
    link.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=p\r\n\r\n")
    for n in range(round(now * 25), len(jpegs)):
        time.sleep(max(0, start[0] + n / 25 - time.monotonic()))
        part = b"--p\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n" % (
            len(jpegs[n]), jpegs[n])
        link.sendall(part[:len(part) // 2] if n == 150 else b"" if n == 450 else part)
        if n in (150, 450):
            time.sleep(60)

def peer(link):
    link.sendall(struct.pack("<5q10i", 0, 0, 0, 0, 0, 0, 0, 4999, 4999, 0, 0, 25, 0, 13, 0))
    for n, packet in enumerate(m4vs):  # a key frame begins with its stream's headers
        time.sleep(0.1)
        key = packet.startswith(b"\0\0\1\xb0")
        link.sendall(struct.pack("<5i", len(packet), n, key, 4999, 4999) + packet)

def serve(handle):
    handler = type("", (socketserver.BaseRequestHandler,), {"handle": lambda s: handle(s.request)})
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]

print("ready", serve(mjpeg), serve(peer), flush=True)
time.sleep(120)
