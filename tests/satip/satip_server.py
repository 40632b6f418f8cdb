#!/usr/bin/env python3
"""Network tuner for the tests: RTSP control, RTP/RTCP delivery of a recorded
transport stream, SSDP discovery. Prints "ready rtsp=<port>" once it listens."""
import argparse, http.server, json, random, re, select, signal, socket, struct, threading, time

TS, PER_DGRAM, GROUP = 188, 7, '239.255.255.250'
URN = 'urn:ses-com:device:SatIPServer:1'
REASONS = {200: 'OK', 400: 'Bad Request', 403: 'Forbidden', 404: 'Not Found', 405: 'Method Not Allowed',
           406: 'Not Acceptable', 408: 'Request Timeout', 453: 'Not Enough Bandwidth', 454: 'Session Not Found',
           455: 'Method Not Valid in This State', 461: 'Unsupported Transport', 500: 'Internal Server Error',
           501: 'Not Implemented', 503: 'Service Unavailable', 505: 'RTSP Version Not Supported'}
SUPPORTED = ('OPTIONS', 'DESCRIBE', 'SETUP', 'PLAY', 'TEARDOWN')
OTHER_RTSP = ('ANNOUNCE', 'GET_PARAMETER', 'SET_PARAMETER', 'PAUSE', 'RECORD', 'REDIRECT')
TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")


class Refuse(Exception):
    def __init__(self, code, why):
        super().__init__(why)
        self.code = code


def pid_list(v, special):
    if v in special:
        return v
    items = v.split(',')
    if not all(p.isdigit() and int(p) <= 8191 for p in items):
        raise ValueError
    return {int(p) for p in items}


def one_of(*allowed):
    def check(v):
        if v not in allowed:
            raise ValueError
        return v
    return check


def int_range(lo, hi):
    def check(v):
        if not v.isdigit() or not lo <= int(v) <= hi:
            raise ValueError
        return v
    return check


def freq_check(v):
    if not re.fullmatch(r'\d+(\.\d+)?', v) or not 950 <= float(v) <= 13000:
        raise ValueError
    return v


CHECKS = {'src': int_range(1, 4), 'fe': int_range(1, 65535), 'freq': freq_check, 'pol': one_of('h', 'v', 'l', 'r'),
          'msys': one_of('dvbs', 'dvbs2'), 'sr': int_range(1, 100000),
          'mtype': one_of('qpsk', '8psk', '16apsk', '32apsk'), 'plts': one_of('on', 'off'),
          'ro': one_of('0.35', '0.25', '0.20'), 'fec': one_of('12', '23', '34', '56', '78', '89', '35', '45', '910'),
          'pids': lambda v: pid_list(v, ('all', 'none')), 'addpids': lambda v: pid_list(v, ()),
          'delpids': lambda v: pid_list(v, ())}
TUNING = ('freq', 'pol', 'msys', 'sr')


def parse_query(q):
    """Returns (raw dict, checked dict); raises Refuse(400) naming the offending parameter."""
    raw, out = {}, {}
    for item in q.split('&') if q else []:
        k, eq, v = item.partition('=')
        if not eq or not v:
            raise Refuse(400, f'malformed parameter {item!r}')
        if k in raw:
            raise Refuse(400, f'repeated parameter {k}')
        raw[k] = v
        if k not in CHECKS:
            raise Refuse(400, f'unknown parameter {k}')
        try:
            out[k] = CHECKS[k](v)
        except ValueError:
            raise Refuse(400, f'bad value {k}={v}')
    if 'pids' in out and ('addpids' in out or 'delpids' in out):
        raise Refuse(400, 'pids together with addpids/delpids')
    return raw, out


def split_url(url):
    """rtsp://host[:port]/[stream=N][?query] -> (stream id or None, query text)."""
    m = re.fullmatch(r'rtsp://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:.]+\])(:\d{1,5})?(/[^?\s#]*)?(?:\?([^\s#]*))?', url)
    if not m:
        raise Refuse(400, f'bad url {url!r}')
    path = m.group(3) or '/'
    if path == '/':
        return None, m.group(4)
    s = re.fullmatch(r'/stream=(\d{1,9})', path)
    if not s:
        raise Refuse(404, f'no such path {path}')
    return int(s.group(1)), m.group(4)


def parse_transport(v):
    parts = [p.strip() for p in v.split(';')]
    opts = dict(p.partition('=')[::2] for p in parts[1:])

    def pair(text):
        m = re.fullmatch(r'(\d{1,5})-(\d{1,5})', text or '')
        return (int(m.group(1)), int(m.group(2))) if m else None
    if parts[0] in ('RTP/AVP', 'RTP/AVP/UDP') and 'unicast' in opts and 'multicast' not in opts:
        ports = pair(opts.get('client_port'))
        if ports and ports[0] % 2 == 0 and ports[1] == ports[0] + 1 and 0 < ports[0] < 65535:
            return {'tcp': False, 'ports': ports}
        raise Refuse(400, f'bad client_port in {v!r}')
    if parts[0] == 'RTP/AVP/TCP':
        ch = pair(opts.get('interleaved'))
        if ch and ch[1] == ch[0] + 1 and ch[1] <= 255:
            return {'tcp': True, 'ports': ch}
        raise Refuse(400, f'bad interleaved in {v!r}')
    raise Refuse(461, f'unsupported transport {v!r}')


class Conn:
    def __init__(self, sock, peer):
        self.sock, self.peer, self.lock, self.buf = sock, peer, threading.Lock(), bytearray()

    def send(self, data):
        with self.lock:
            try:
                self.sock.sendall(data)
                return True
            except OSError:
                return False

    def shut(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Session:
    def __init__(self, sid, stream_id, params, transport, conn):
        self.id, self.stream_id, self.params, self.conn = sid, stream_id, {}, conn
        self.tcp, self.ports, self.pids = transport['tcp'], transport['ports'], set()
        self.client_ip, self.socks = conn.peer[0], None
        self.ssrc, self.seq, self.ts_base = random.getrandbits(32), random.getrandbits(16), random.getrandbits(32)
        self.alive, self.play_t, self.setup_t = True, None, time.monotonic()
        self.last_seen = self.setup_t
        self.stats = {'datagrams': 0, 'ts_packets': 0, 'octets': 0, 'rtcp': 0, 'gaps': 0}
        self.retune(params)

    def retune(self, q):
        self.params.update({k: v for k, v in q.items() if k in CHECKS and 'pids' not in k})
        if 'pids' in q:
            v = q['pids']
            self.pids = 'all' if v == 'all' else set() if v == 'none' else set(v)
        if self.pids != 'all':
            self.pids = (self.pids | q.get('addpids', set())) - q.get('delpids', set())

    def wants(self, pid):
        return self.pids == 'all' or pid in self.pids

    def pid_text(self):
        return 'all' if self.pids == 'all' else ','.join(map(str, sorted(self.pids))) or 'none'


class Server:
    def __init__(self, args):
        self.args, self.stop, self.lock = args, threading.Event(), threading.Lock()
        self.sessions, self.conns, self.next_stream, self.first_play, self.restarted = {}, set(), 1, None, False
        self.down, self.first_sid = False, None
        self.log_file = open(args.log, 'a', buffering=1) if args.log else None
        data = open(args.capture, 'rb').read()
        start = next((i for i in range(min(TS, len(data))) if data[i] == 0x47 and data[i + TS:i + TS + 1] in
                      (b'\x47', b'')), 0)
        self.packets = [((data[i + 1] & 0x1f) << 8 | data[i + 2], data[i:i + TS])
                        for i in range(start, len(data) - TS + 1, TS) if data[i] == 0x47]

    def log(self, event, **fields):
        if self.log_file:
            line = json.dumps(dict(event=event, time=round(time.time(), 3), **fields), sort_keys=True)
            with self.lock:
                self.log_file.write(line + '\n')

    # ---------------------------------------------------------------- RTSP
    def listen(self, port):
        ls = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind((self.args.host, port))
        ls.listen(16)
        ls.settimeout(0.2)
        self.rtsp_port = ls.getsockname()[1]
        self.acceptor = threading.Thread(target=self.accept_loop, args=(ls,), daemon=True)
        self.acceptor.start()

    def accept_loop(self, ls):
        while not self.down and not self.stop.is_set():
            try:
                sock, peer = ls.accept()
            except socket.timeout:
                continue
            sock.settimeout(None)
            conn = Conn(sock, peer)
            with self.lock:
                self.conns.add(conn)
            threading.Thread(target=self.serve_conn, args=(conn,), daemon=True).start()
        ls.close()

    def read_request(self, conn):
        """Next request head and body; interleaved frames from the client are skipped."""
        buf = conn.buf
        while True:
            if buf[:1] == b'$':
                if len(buf) >= 4 and len(buf) >= 4 + struct.unpack('>H', buf[2:4])[0]:
                    del buf[:4 + struct.unpack('>H', buf[2:4])[0]]
                    continue
            else:
                end = buf.find(b'\r\n\r\n')
                if end >= 0:
                    head = bytes(buf[:end])
                    del buf[:end + 4]
                    m = re.search(rb'\r\nContent-Length:[ \t]*(\d+)', head, re.I)
                    while m and len(buf) < int(m.group(1)):
                        chunk = conn.sock.recv(65536)
                        if not chunk:
                            return None
                        buf += chunk
                    body = bytes(buf[:int(m.group(1))]) if m else b''
                    del buf[:len(body)]
                    return head, body
                if re.search(rb'(?<!\r)\n', buf) or len(buf) > 16384:
                    return b'', b''
            chunk = conn.sock.recv(65536)
            if not chunk:
                return None
            buf += chunk

    def serve_conn(self, conn):
        try:
            while not self.stop.is_set():
                got = self.read_request(conn)
                if got is None:
                    break
                if not self.handle(conn, *got):
                    break
        except OSError:
            pass
        with self.lock:
            self.conns.discard(conn)
            gone = [s for s in self.sessions.values() if s.tcp and s.conn is conn]
        for s in gone:
            self.end_session(s, 'disconnect')
        conn.shut()
        conn.sock.close()

    def handle(self, conn, head, body):
        rec = {'peer': '%s:%d' % conn.peer, 'method': None, 'url': None, 'query': {}, 'headers': {}, 'session': None}
        cseq, extra, content, keep = None, [], b'', True
        try:
            if not head:
                keep = False
                raise Refuse(400, 'line end without CR, or request head too long')
            lines = head.decode('utf-8').split('\r\n')
            m = re.search(r'\r\nCSeq:[ \t]*(\d{1,9})\r\n', head.decode('utf-8') + '\r\n', re.I)
            cseq = m.group(1) if m else None
            parts = lines[0].split(' ')
            if len(parts) != 3 or not TOKEN.fullmatch(parts[0]):
                keep = False
                raise Refuse(400, f'bad request line {lines[0]!r}')
            rec['method'], rec['url'], version = parts
            for line in lines[1:]:
                name, colon, value = line.partition(':')
                if not colon or not TOKEN.fullmatch(name):
                    raise Refuse(400, f'bad header line {line!r}')
                if name.lower() in (h.lower() for h in rec['headers']):
                    raise Refuse(400, f'repeated header {name}')
                rec['headers'][name] = value.strip()
            hdr = {k.lower(): v for k, v in rec['headers'].items()}
            if not re.fullmatch(r'\d{1,9}', hdr.get('cseq', '')):
                raise Refuse(400, 'missing or bad CSeq')
            if version != 'RTSP/1.0':
                raise Refuse(505, f'version {version!r}')
            extra, content = self.dispatch(conn, rec, hdr)
            status = 200
        except Refuse as r:
            status, rec['error'] = r.code, str(r)
            if r.code == 405:
                extra = ['Allow: ' + ', '.join(SUPPORTED)]
        except UnicodeDecodeError:
            status, rec['error'], keep = 400, 'request is not text', False
        rec['status'] = status
        self.log('request', **rec)
        reply = [f'RTSP/1.0 {status} {REASONS.get(status, "Error")}'] + ([f'CSeq: {cseq}'] if cseq else []) + extra
        if content:
            reply += ['Content-Type: application/sdp', f'Content-Length: {len(content)}']
        conn.send(('\r\n'.join(reply) + '\r\n\r\n').encode() + content)
        return keep

    def find_session(self, hdr, rec, required):
        value = hdr.get('session')
        if value is None:
            if required:
                raise Refuse(454, 'no Session header')
            return None
        sid = value.split(';')[0].strip()
        rec['session'] = sid
        with self.lock:
            s = self.sessions.get(sid)
        if not s:
            raise Refuse(454, f'unknown session {sid}')
        s.last_seen = time.monotonic()
        return s

    def dispatch(self, conn, rec, hdr):
        method, url, a = rec['method'], rec['url'], self.args
        if method not in SUPPORTED:
            raise Refuse(405 if method in OTHER_RTSP else 501, f'method {method}')
        if method == 'OPTIONS' and url == '*':
            stream, q = None, None
        else:
            stream, q = split_url(url)
        raw, query = parse_query(q)
        rec['query'] = raw
        s = self.find_session(hdr, rec, method in ('PLAY', 'TEARDOWN'))
        if s and stream is not None and stream != s.stream_id:
            raise Refuse(454, f'stream {stream} is not session {s.id}')
        if method in ('SETUP', 'PLAY', 'TEARDOWN') and stream is not None and not s:
            raise Refuse(454, f'stream {stream} without its session')
        if method in ('PLAY', 'TEARDOWN') and stream is None:
            raise Refuse(400, f'{method} needs rtsp://host/stream=<id>')
        if query and method not in ('SETUP', 'PLAY'):
            raise Refuse(400, f'{method} takes no parameters')
        if s:
            s.conn = conn if not s.tcp else s.conn
        if method == 'OPTIONS':
            return ['Public: ' + ', '.join(SUPPORTED)] + ([f'Session: {s.id}'] if s else []), b''
        if method == 'DESCRIBE':
            return self.describe(stream)
        if method == 'TEARDOWN':
            self.end_session(s, 'teardown')
            return [f'Session: {s.id}'], b''
        if ('addpids' in query or 'delpids' in query) and not s:
            raise Refuse(400, 'addpids/delpids need a session')
        if method == 'PLAY':
            s.retune(query)
            if s.play_t is None:
                s.play_t = time.monotonic()
                if self.first_play is None:
                    self.first_play, self.first_sid = s.play_t, s.id
                threading.Thread(target=self.stream, args=(s,), daemon=True).start()
            host = url.split('/')[2]
            return [f'Session: {s.id}', f'RTP-Info: url=rtsp://{host}/stream={s.stream_id};seq={s.seq & 0xffff};'
                    f'rtptime={self.rtp_time(s)}', 'Range: npt=0.000-'], b''
        # SETUP
        if a.refuse:
            raise Refuse(a.refuse, f'refused by --refuse {a.refuse}')
        if not s:
            missing = [k for k in TUNING if k not in query]
            if missing:
                raise Refuse(400, 'missing ' + ','.join(missing))
            if 'transport' not in hdr:
                raise Refuse(400, 'no Transport header')
            transport = parse_transport(hdr['transport'])
            with self.lock:
                if a.max_sessions is not None and len(self.sessions) >= a.max_sessions:
                    raise Refuse(503, 'no free tuner')
                s = Session('%016x' % random.getrandbits(64), self.next_stream, query, transport, conn)
                self.next_stream += 1
                self.sessions[s.id] = s
            rec['session'] = s.id
            if not s.tcp:
                s.socks = self.udp_pair()
        else:
            s.retune(query)
        if s.tcp:
            tr = f'RTP/AVP/TCP;interleaved={s.ports[0]}-{s.ports[1]}'
        else:
            sp = s.socks[0].getsockname()[1]
            tr = (f'RTP/AVP;unicast;destination={s.client_ip};source={self.args.host};'
                  f'client_port={s.ports[0]}-{s.ports[1]};server_port={sp}-{sp + 1}')
        return [f'Session: {s.id};timeout={a.session_timeout}', f'com.ses.streamID: {s.stream_id}',
                f'Transport: {tr}'], b''

    def udp_pair(self):
        for _ in range(100):
            a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            a.bind((self.args.host, 0))
            port = a.getsockname()[1]
            b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                if port % 2 == 0 and port < 65535:
                    b.bind((self.args.host, port + 1))
                    return a, b
            except OSError:
                pass
            a.close()
            b.close()
        raise Refuse(500, 'no server port pair')

    def describe(self, stream):
        with self.lock:
            chosen = [s for s in self.sessions.values() if stream in (None, s.stream_id)]
        if not chosen:
            raise Refuse(404, 'nothing to describe')
        sdp = ['v=0', f'o=- {chosen[0].id} 1 IN IP4 {self.args.host}',
               f's=SatIPServer:1 {self.args.max_sessions or 2}', 't=0 0']
        for s in chosen:
            sdp += ['m=video 0 RTP/AVP 33', 'c=IN IP4 0.0.0.0', f'a=control:stream={s.stream_id}',
                    f'a=fmtp:33 {self.tuner_text(s)}', 'a=sendonly' if s.play_t else 'a=inactive']
        return [f'Content-Base: rtsp://{self.args.host}:{self.rtsp_port}/'], ('\r\n'.join(sdp) + '\r\n').encode()

    def end_session(self, s, why):
        with self.lock:
            if not s.alive:
                return
            s.alive = False
            self.sessions.pop(s.id, None)
        for sock in s.socks or ():
            sock.close()
        self.log(why, session=s.id, stream_id=s.stream_id, **s.stats)

    # ---------------------------------------------------------------- RTP / RTCP
    def locked(self, s):
        return self.args.lock and time.monotonic() - s.setup_t >= self.args.lock_after

    def tuner_text(self, s):
        p = s.params
        msys = p.get('msys', 'dvbs2')
        lock = self.locked(s)
        fields = [p.get('fe', '1'), 200 if lock else 20, int(lock), 15 if lock else 0, p.get('freq', ''),
                  p.get('pol', ''), msys, p.get('mtype', 'qpsk' if msys == 'dvbs' else '8psk'),
                  p.get('plts', 'off'), p.get('ro', '0.35'), p.get('sr', ''), p.get('fec', '34')]
        return f'ver=1.0;src={p.get("src", "1")};tuner={",".join(map(str, fields))};pids={s.pid_text()}'

    def rtp_time(self, s):
        return (s.ts_base + int((time.monotonic() - s.setup_t) * 90000)) & 0xffffffff

    def deliver(self, s, data, rtcp):
        if s.tcp:
            return s.conn.send(struct.pack('>cBH', b'$', s.ports[int(rtcp)], len(data)) + data)
        try:
            s.socks[int(rtcp)].sendto(data, (s.client_ip, s.ports[int(rtcp)]))
        except OSError:
            pass

    def send_rtp(self, s, buf):
        st = s.stats
        if self.args.gap_every and (st['datagrams'] + 1) % self.args.gap_every == 0:
            s.seq += 1
            st['gaps'] += 1
        payload = b''.join(buf)
        self.deliver(s, struct.pack('>BBHII', 0x80, 33, s.seq & 0xffff, self.rtp_time(s), s.ssrc) + payload, False)
        s.seq += 1
        st['datagrams'] += 1
        st['ts_packets'] += len(buf)
        st['octets'] += len(payload)
        buf.clear()

    def send_rtcp(self, s):
        now = time.time() + 2208988800
        sr = struct.pack('>BBHIIIIII', 0x80, 200, 6, s.ssrc, int(now), int((now % 1) * 2 ** 32) & 0xffffffff,
                         self.rtp_time(s), s.stats['datagrams'] & 0xffffffff, s.stats['octets'] & 0xffffffff)
        text = self.tuner_text(s).encode()
        padded = text + b'\0' * (-len(text) % 4)
        app = struct.pack('>BBHI4sHH', 0x80, 204, 3 + len(padded) // 4, s.ssrc, b'SES1', 0, len(text)) + padded
        self.deliver(s, sr + app, True)
        s.stats['rtcp'] += 1

    def stream(self, s):
        a, pk = self.args, self.packets
        dt = TS * 8 / (a.rate_mbps * 1e6) if a.rate_mbps > 0 else 0.0
        t0, n, i, buf, buf_t, next_rtcp = time.monotonic(), 0, 0, [], 0.0, 0.0
        while s.alive and not self.stop.is_set():
            now = time.monotonic()
            if now >= next_rtcp:
                self.send_rtcp(s)
                next_rtcp = now + 0.2
            stalled = a.stall_after is not None and s.id == self.first_sid and now - s.play_t >= a.stall_after
            if i >= len(pk) and a.loop and not stalled:
                i = 0
            if stalled or i >= len(pk) or not self.locked(s):
                if buf:
                    self.send_rtp(s, buf)
                time.sleep(0.05)
                t0, n = time.monotonic(), 0
                continue
            wait = t0 + n * dt - now
            if wait > 0:
                if buf and now - buf_t > 0.1:
                    self.send_rtp(s, buf)
                time.sleep(min(max(wait, 0.005), 0.2))
                continue
            pid, data = pk[i]
            i, n = i + 1, n + 1
            if s.wants(pid):
                buf_t = buf_t if buf else now
                buf.append(data)
                if len(buf) == PER_DGRAM:
                    self.send_rtp(s, buf)

    # ---------------------------------------------------------------- timers
    def tick(self):
        a, now = self.args, time.monotonic()
        with self.lock:
            sessions = list(self.sessions.values())
        for s in sessions:
            if now - s.last_seen > a.session_timeout:
                self.end_session(s, 'expired')
            elif a.drop_after is not None and s.id == self.first_sid and now - s.play_t >= a.drop_after:
                s.conn.shut()
                self.end_session(s, 'dropped')
        if a.restart_after is not None and self.first_play and not self.restarted \
                and now - self.first_play >= a.restart_after:
            self.restarted, self.down = True, True
            self.acceptor.join()
            with self.lock:
                conns, sessions = list(self.conns), list(self.sessions.values())
            for c in conns:
                c.shut()
            for s in sessions:
                self.end_session(s, 'restart')
            self.log('down', seconds=a.down_for)
            if self.stop.wait(a.down_for):
                return
            self.down, self.next_stream = False, 1
            self.listen(self.rtsp_port)
            self.log('up', rtsp=self.rtsp_port)

    # ---------------------------------------------------------------- discovery
    def desc_xml(self):
        return (f'<?xml version="1.0"?>\r\n<root xmlns="urn:schemas-upnp-org:device-1-0" configId="1">\r\n'
                f'<specVersion><major>1</major><minor>1</minor></specVersion>\r\n<device>\r\n'
                f'<deviceType>{URN}</deviceType>\r\n<friendlyName>{self.args.name}</friendlyName>\r\n'
                f'<manufacturer>Quillmoth tests</manufacturer>\r\n<modelName>test tuner</modelName>\r\n'
                f'<UDN>uuid:{self.uuid}</UDN>\r\n<satip:X_SATIPCAP xmlns:satip="urn:ses-com:satip">'
                f'DVBS2-{self.args.max_sessions or 2}</satip:X_SATIPCAP>\r\n</device>\r\n</root>\r\n').encode()

    def start_discovery(self):
        srv, a = self, self.args
        self.uuid = '%08x-0000-4000-8000-%012x' % (random.getrandbits(32), random.getrandbits(48))

        class Desc(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = srv.desc_xml() if self.path == '/desc.xml' else b''
                self.send_response(200 if body else 404)
                self.send_header('Content-Type', 'text/xml')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                srv.log('http', path=self.path, status=200 if body else 404)

            def log_message(self, *args):
                pass

        httpd = http.server.ThreadingHTTPServer((a.host, a.http_port), Desc)
        httpd.daemon_threads = True
        self.http_port = httpd.server_address[1]
        threading.Thread(target=httpd.serve_forever, daemon=True).start()
        socks = []
        if a.ssdp:
            m = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            m.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            m.bind(('', 1900))
            iface = '0.0.0.0' if a.host == '0.0.0.0' else a.host
            m.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(iface))
            socks.append(m)
        if a.ssdp_port is not None:
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u.bind((a.host, a.ssdp_port))
            self.ssdp_port = u.getsockname()[1]
            socks.append(u)
        threading.Thread(target=self.ssdp_loop, args=(socks,), daemon=True).start()

    def ssdp_loop(self, socks):
        host = '127.0.0.1' if self.args.host == '0.0.0.0' else self.args.host
        while not self.stop.is_set():
            for sock in select.select(socks, [], [], 0.5)[0]:
                data, peer = sock.recvfrom(4096)
                lines = data.decode('latin-1').split('\r\n')
                hdr = {k.strip().upper(): v.strip() for k, _, v in (l.partition(':') for l in lines[1:] if ':' in l)}
                st = hdr.get('ST', '')
                ok = lines[0] == 'M-SEARCH * HTTP/1.1' and hdr.get('MAN') == '"ssdp:discover"' and \
                    st in (URN, 'ssdp:all', 'upnp:rootdevice')
                self.log('msearch', peer='%s:%d' % peer, line=lines[0], st=st, answered=ok)
                if ok:
                    st = URN if st == 'ssdp:all' else st
                    sock.sendto((f'HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n'
                                 f'LOCATION: http://{host}:{self.http_port}/desc.xml\r\nSERVER: Linux/1.0 UPnP/1.1 '
                                 f'TestTuner/1.0\r\nST: {st}\r\nUSN: uuid:{self.uuid}::{URN}\r\n'
                                 f'BOOTID.UPNP.ORG: 1\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n').encode(), peer)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument('--capture', required=True, help='transport stream file to replay')
    p.add_argument('--host', default='127.0.0.1')
    p.add_argument('--rtsp-port', type=int, default=0, help='0 picks a free port')
    p.add_argument('--log', help='JSON lines file: one object per request and per event')
    p.add_argument('--session-timeout', type=int, default=60)
    p.add_argument('--rate-mbps', type=float, default=2.0, help='rate of the whole capture; 0 = as fast as possible')
    p.add_argument('--loop', action=argparse.BooleanOptionalAction, default=True)
    p.add_argument('--lock', type=int, choices=(0, 1), default=1)
    p.add_argument('--lock-after', type=float, default=0.0, help='no lock for this long after SETUP')
    p.add_argument('--refuse', type=int, help='answer SETUP with this status')
    p.add_argument('--stall-after', type=float, help='stop RTP this long after PLAY')
    p.add_argument('--drop-after', type=float, help='close the connection and forget the session after PLAY')
    p.add_argument('--restart-after', type=float, help='restart this long after the first PLAY')
    p.add_argument('--down-for', type=float, default=2.0)
    p.add_argument('--gap-every', type=int, help='skip one sequence number every N datagrams')
    p.add_argument('--max-sessions', type=int)
    p.add_argument('--ssdp', action='store_true', help='answer M-SEARCH on 239.255.255.250:1900')
    p.add_argument('--ssdp-port', type=int, help='answer unicast M-SEARCH on this port (0 = free)')
    p.add_argument('--http-port', type=int, default=0, help='port of desc.xml')
    p.add_argument('--name', default='Quillmoth test tuner')
    srv = Server(p.parse_args())
    signal.signal(signal.SIGTERM, lambda *_: srv.stop.set())
    signal.signal(signal.SIGINT, lambda *_: srv.stop.set())
    srv.listen(srv.args.rtsp_port)
    ready = f'ready rtsp={srv.rtsp_port}'
    if srv.args.ssdp or srv.args.ssdp_port is not None:
        srv.start_discovery()
        ready += f' http={srv.http_port}' + (f' ssdp={srv.ssdp_port}' if srv.args.ssdp_port is not None else '')
    srv.log('ready', rtsp=srv.rtsp_port, packets=len(srv.packets))
    print(ready, flush=True)
    while not srv.stop.wait(0.1):
        srv.tick()
    with srv.lock:
        sessions = list(srv.sessions.values())
    for s in sessions:
        srv.end_session(s, 'exit')
    srv.log('exit')


if __name__ == '__main__':
    main()
