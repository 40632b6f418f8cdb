#!/usr/bin/env python3
"""A UPnP device of another kind for the discovery tests: ssdp_other.py ADDRESS [ST]. On the interface ADDRESS, answers
every M-SEARCH to 239.255.255.250:1900 at once, whatever was searched, as ST (default: its own type), and serves a
description naming its own type. Prints "ready" once it listens; SIGTERM ends it."""
import socket, sys, threading

TYPE = 'urn:schemas-upnp-org:device:MediaRenderer:1'
host, st = sys.argv[1], (sys.argv[2:] or [TYPE])[0]
body = f'<root><device><deviceType>{TYPE}</deviceType><friendlyName>Other</friendlyName></device></root>'
web = socket.create_server((host, 0))


def serve():
    while True:
        with web.accept()[0] as c:
            c.recv(4096)
            c.sendall(f'HTTP/1.0 200 OK\r\nContent-Length: {len(body)}\r\n\r\n{body}'.encode())


threading.Thread(target=serve, daemon=True).start()
reply = (f'HTTP/1.1 200 OK\r\nLOCATION: http://{host}:{web.getsockname()[1]}/other.xml\r\nST: {st}\r\n'
         f'USN: uuid:00000000-0000-4000-8000-000000000001::{st}\r\n\r\n').encode()
m = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
m.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
m.bind(('', 1900))
m.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton('239.255.255.250') + socket.inet_aton(host))
print('ready', flush=True)
while True:
    data, peer = m.recvfrom(4096)
    if data.startswith(b'M-SEARCH'):
        m.sendto(reply, peer)
