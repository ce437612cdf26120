"""Sources that misbehave, for the recorder's tests, on loopback. Times are seconds since the
first client of the MJPEG camera. The HTTP MJPEG camera sends 25 pictures a second; at 6 s it
sends half a picture and falls silent, at 18 s it falls silent between pictures; each time its
connection stays open and new ones are closed at once for 4 s. The sorvo:// peer greets with
4999x4999 at 25/s and sends its 160x120 pictures at 10/s. An ffmpeg process sends MPEG-TS to
udp://127.0.0.1:UDP_PORT; it is killed at 8 s and started again at 14 s.
Usage: FaultySources.py FOLDER UDP_PORT; prints "ready MJPEG_PORT SORVO_PORT"."""

import glob, socket, struct, subprocess, sys, threading, time

folder, udp = sys.argv[1], "udp://127.0.0.1:" + sys.argv[2]
def ffmpeg(*args, live=False):
    return (subprocess.Popen if live else subprocess.run)(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", *(["-re"] if live else []), "-f", "lavfi",
         "-i", "testsrc=size=160x120:rate=25:duration=40", *args])
ffmpeg(f"{folder}/%05d.jpg")
ffmpeg("-r", "10", "-c:v", "mpeg4", "-g", "10", "-f", "image2", f"{folder}/%05d.m4v")
jpegs = [open(f, "rb").read() for f in sorted(glob.glob(f"{folder}/*.jpg"))]
m4vs = [open(f, "rb").read() for f in sorted(glob.glob(f"{folder}/*.m4v"))]
send = ("-c:v", "mpeg2video", "-g", "5", "-f", "mpegts", udp)
sender = [ffmpeg(*send, live=True)]
stalls, start = ((6, 10), (18, 22)), []

def now():
    return time.monotonic() - start[0]

def mjpeg(link):
    link.recv(4096)
    if not start:
        start.append(time.monotonic())
        threading.Timer(8, sender[0].kill).start()
        threading.Timer(14, lambda: sender.append(ffmpeg(*send, live=True))).start()
    if any(a <= now() < b for a, b in stalls):
        return
    link.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=p\r\n\r\n")
    for n in range(round(now() * 25), len(jpegs)):
        time.sleep(max(0, n / 25 - now()))
        part = b"--p\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n" % (
            len(jpegs[n]), jpegs[n])
        if any(a <= n / 25 < b for a, b in stalls):
            link.sendall(part[:len(part) // 2] if n / 25 < stalls[1][0] else b"")
            time.sleep(120)
        link.sendall(part)

def peer(link):
    link.sendall(struct.pack("<5q10i", 0, 0, 0, 0, 0, 0, 0, 4999, 4999, 0, 0, 25, 0, 13, 0))
    begun = time.monotonic()
    for n, packet in enumerate(m4vs):
        time.sleep(max(0, begun + n / 10 - time.monotonic()))
        key = packet.startswith(b"\0\0\1\xb0")
        link.sendall(struct.pack("<5i", len(packet), n, key, 4999, 4999) + packet)

def serve(handler):
    listener = socket.create_server(("127.0.0.1", 0))
    def accept():
        while True:
            link = listener.accept()[0]
            threading.Thread(target=lambda: handler(link) or link.close(), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]

print("ready", serve(mjpeg), serve(peer), flush=True)
time.sleep(120)
