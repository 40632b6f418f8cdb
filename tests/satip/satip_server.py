#!/usr/bin/env python3
"""Network tuner for the tests: RTSP control, RTP/RTCP delivery of a recorded transport stream, SSDP
discovery, and faults on request. Prints "ready rtsp=<port>[ http=<port>][ ssdp=<port>]" once it listens;
SIGTERM ends it. --log writes one JSON object a line, each with "event" and "time" (epoch seconds):
  request: method, url, query (as sent), headers, session, peer, status, error (why it was refused); a SETUP's
      also open (sessions open right after it)
  teardown/expired/dropped/disconnect/restart/exit: a session ended; session, stream_id, open (sessions still
      open), datagrams, ts_packets, octets, rtcp, gaps
  exit (the last line): left_open, sessions still open when told to stop
  closed: the server closed a control connection by itself; peer, why (idle, after-reply, after-play)
  server-request (peer, cseq): an OPTIONS of the server's own; client-reply (peer, status): the client's answer
  rest (seconds), resume: the stream pauses and goes on from where it stopped
  ready, down, up (restart), msearch (peer, line, st, answered), http (path, status)"""
import argparse, contextlib, http.server, json, random, re, select, signal, socket, struct, threading, time

TS, PER_DGRAM, URN = 188, 7, 'urn:ses-com:device:SatIPServer:1'
REASONS = {200: 'OK', 400: 'Bad Request', 403: 'Forbidden', 404: 'Not Found', 405: 'Method Not Allowed',
           408: 'Request Timeout', 453: 'Not Enough Bandwidth', 454: 'Session Not Found', 461: 'Unsupported Transport',
           500: 'Internal Server Error', 501: 'Not Implemented', 503: 'Service Unavailable',
           505: 'RTSP Version Not Supported'}
SUPPORTED = ('OPTIONS', 'DESCRIBE', 'SETUP', 'PLAY', 'TEARDOWN')
OTHER_RTSP = ('ANNOUNCE', 'GET_PARAMETER', 'SET_PARAMETER', 'PAUSE', 'RECORD', 'REDIRECT')
TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
PIDS = r'\d{1,4}(,\d{1,4})*'
CHECKS = {'src': '[1-4]', 'fe': '[1-9][0-9]{0,4}', 'freq': r'\d{3,5}(\.\d+)?', 'pol': 'h|v|l|r', 'msys': 'dvbs2?',
          'sr': '[1-9][0-9]{0,5}', 'mtype': 'qpsk|8psk|16apsk|32apsk', 'plts': 'on|off', 'ro': r'0\.35|0\.25|0\.20',
          'fec': '12|23|34|56|78|89|35|45|910', 'pids': 'all|none|' + PIDS, 'addpids': PIDS, 'delpids': PIDS}
TUNING = ('freq', 'pol', 'msys', 'sr')
NULL_CRLF = b'\x47\x1f\xff\x10\r\n\r\n' + b'\xff' * 180  # a null packet whose payload looks like a head's end


class Refuse(Exception):
    def __init__(self, code, why):
        super().__init__(why)
        self.code = code


def parse_query(q):
    """(raw dict, checked dict with pid lists as sets); Refuse(400) names the offending parameter."""
    raw, out = {}, {}
    for item in q.split('&') if q else []:
        k, eq, v = item.partition('=')
        if not eq or not v or k in raw:
            raise Refuse(400, f'malformed or repeated parameter {item!r}')
        raw[k] = v
        if k not in CHECKS:
            raise Refuse(400, f'unknown parameter {k}')
        if not re.fullmatch(CHECKS[k], v) or (k == 'freq' and not 950 <= float(v) <= 13000):
            raise Refuse(400, f'bad value {k}={v}')
        out[k] = {int(p) for p in v.split(',')} if k.endswith('pids') and v not in ('all', 'none') else v
        if k.endswith('pids') and isinstance(out[k], set) and max(out[k]) > 8191:
            raise Refuse(400, f'bad value {k}={v}')
    if 'pids' in out and ('addpids' in out or 'delpids' in out):
        raise Refuse(400, 'pids together with addpids/delpids')
    return raw, out


def split_url(url):
    """rtsp://host[:port]/[stream=N][?query] -> (stream id or None, query text)."""
    m = re.fullmatch(r'rtsp://([A-Za-z0-9.\-]+|\[[0-9A-Fa-f:.]+\])(:\d{1,5})?(/[^?\s#]*)?(?:\?([^\s#]*))?', url)
    if not m:
        raise Refuse(400, f'bad url {url!r}')
    if (m.group(3) or '/') == '/':
        return None, m.group(4)
    s = re.fullmatch(r'/stream=(\d{1,9})', m.group(3))
    if not s:
        raise Refuse(404, f'no such path {m.group(3)}')
    return int(s.group(1)), m.group(4)


def parse_transport(v):
    """{'tcp': bool, 'ports': (rtp, rtcp)}: client UDP ports or interleaved channels."""
    parts = [p.strip() for p in v.split(';')]
    opts = dict(p.partition('=')[::2] for p in parts[1:])
    tcp = parts[0] == 'RTP/AVP/TCP'
    if not tcp and (parts[0] not in ('RTP/AVP', 'RTP/AVP/UDP') or 'unicast' not in opts or 'multicast' in opts):
        raise Refuse(461, f'unsupported transport {v!r}')
    m = re.fullmatch(r'(\d{1,5})-(\d{1,5})', opts.get('interleaved' if tcp else 'client_port', ''))
    a, b = (int(m.group(1)), int(m.group(2))) if m else (1, 0)
    if b != a + 1 or (tcp and b > 255) or (not tcp and (a % 2 or not 0 < a < 65535)):
        raise Refuse(400, f'bad {"interleaved" if tcp else "client_port"} in {v!r}')
    return {'tcp': tcp, 'ports': (a, b)}


class Conn:
    def __init__(self, sock, peer):
        self.sock, self.peer, self.lock, self.file = sock, peer, threading.RLock(), sock.makefile('rb')
        self.name, self.t, self.cseq, self.closing = '%s:%d' % peer, time.monotonic(), 0, False

    def send(self, data):
        with self.lock, contextlib.suppress(OSError):
            self.sock.sendall(data)

    def shut(self):
        with contextlib.suppress(OSError):
            self.sock.shutdown(socket.SHUT_RDWR)


class Session:
    def __init__(self, sid, stream_id, query, transport, conn):
        self.id, self.stream_id, self.params, self.conn, self.pids = sid, stream_id, {}, conn, set()
        self.tcp, self.ports, self.client_ip, self.socks = transport['tcp'], transport['ports'], conn.peer[0], ()
        self.ssrc, self.seq, self.ts_base = random.getrandbits(32), random.getrandbits(16), random.getrandbits(32)
        self.alive, self.play_t, self.setup_t = True, None, time.monotonic()
        self.last_seen = self.setup_t
        self.stats = {'datagrams': 0, 'ts_packets': 0, 'octets': 0, 'rtcp': 0, 'gaps': 0}
        self.retune(query)

    def retune(self, q):
        self.params.update({k: v for k, v in q.items() if not k.endswith('pids')})
        if 'pids' in q:
            self.pids = 'all' if q['pids'] == 'all' else set() if q['pids'] == 'none' else set(q['pids'])
        if self.pids != 'all':
            self.pids = (self.pids | q.get('addpids', set())) - q.get('delpids', set())

    def pid_text(self):
        return 'all' if self.pids == 'all' else ','.join(map(str, sorted(self.pids))) or 'none'


class Server:
    def __init__(self, args):
        self.args, self.stop, self.lock = args, threading.Event(), threading.Lock()
        self.sessions, self.conns, self.next_stream, self.down, self.restarted = {}, set(), 1, False, False
        self.first_play = self.first_sid = self.rest = self.pos_sid = None
        self.pos = 0  # with --rest-after: where the newest stream is in the capture, for the session replacing it
        self.log_file = open(args.log, 'a', buffering=1) if args.log else None
        data = open(args.capture, 'rb').read()
        self.packets = [((data[i + 1] & 0x1f) << 8 | data[i + 2], data[i:i + TS])
                        for i in range(0, len(data) - TS + 1, TS) if data[i] == 0x47]

    def log(self, event, **fields):
        if self.log_file:
            with self.lock:
                self.log_file.write(json.dumps(dict(event=event, time=round(time.time(), 3), **fields)) + '\n')

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
            with contextlib.suppress(socket.timeout):
                sock, peer = ls.accept()
                sock.settimeout(None)
                conn = Conn(sock, peer)
                conn.next_req = conn.t + (self.args.server_requests or 0)
                with self.lock:
                    self.conns.add(conn)
                threading.Thread(target=self.serve_conn, args=(conn,), daemon=True).start()
        ls.close()

    def read_request(self, f):
        """Next request's head lines and body, skipping the client's interleaved frames; None at the end."""
        first = f.read(1)
        while first == b'$':
            f.read(struct.unpack('>xH', f.read(3))[0])
            first = f.read(1)
        lines = [first + f.readline(8192)] if first else []
        while lines and lines[-1] not in (b'\r\n', b'\n', b'') and len(lines) < 64:
            lines.append(f.readline(8192))
        if not lines or not lines[-1]:
            return None
        m = re.search(rb'^Content-Length:[ \t]*(\d+)', b''.join(lines), re.I | re.M)
        return lines, f.read(int(m.group(1))) if m else b''

    def serve_conn(self, conn):
        with contextlib.suppress(OSError, struct.error):
            while not self.stop.is_set():
                got = self.read_request(conn.file)
                if got and self.args.server_requests and got[0][0].startswith(b'RTSP/'):
                    self.log('client-reply', peer=conn.name, status=got[0][0].decode('latin-1').strip())
                    continue
                conn.t = time.monotonic()
                if got is None or not self.handle(conn, *got):
                    break
        with self.lock:
            self.conns.discard(conn)
            gone = [s for s in self.sessions.values() if s.tcp and s.conn is conn]
        for s in gone:
            self.end_session(s, 'disconnect')
        conn.shut()
        conn.file.close()
        conn.sock.close()

    def handle(self, conn, lines, body):
        rec = {'peer': conn.name, 'method': None, 'url': None, 'query': {}, 'headers': {}, 'session': None}
        extra, content, keep = [], b'', True
        m = re.search(rb'^CSeq:[ \t]*(\d{1,9})\r\n', b''.join(lines), re.I | re.M)
        cseq = m.group(1).decode() if m else None
        try:
            if len(lines) < 2 or any(not line.endswith(b'\r\n') for line in lines) or lines[-1] != b'\r\n':
                keep = False
                raise Refuse(400, 'line end without CR, or request head too long')
            text = [line[:-2].decode('utf-8') for line in lines[:-1]]
            parts = text[0].split(' ')
            if len(parts) != 3 or not TOKEN.fullmatch(parts[0]):
                keep = False
                raise Refuse(400, f'bad request line {text[0]!r}')
            rec['method'], rec['url'], version = parts
            for line in text[1:]:
                name, colon, value = line.partition(':')
                if not colon or not TOKEN.fullmatch(name) or name.lower() in map(str.lower, rec['headers']):
                    raise Refuse(400, f'bad or repeated header line {line!r}')
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
            extra = ['Allow: ' + ', '.join(SUPPORTED)] if r.code == 405 else []
        except UnicodeDecodeError:
            status, rec['error'], keep = 400, 'request is not text', False
        rec['status'], a = status, self.args
        if rec['method'] == 'SETUP':
            rec['open'] = len(self.sessions)
        self.log('request', **rec)
        reply = [f'RTSP/1.0 {status} {REASONS.get(status, "Error")}'] + ([f'CSeq: {cseq}'] if cseq else []) + extra
        if content:
            reply += ['Content-Type: application/sdp', f'Content-Length: {len(content)}']
        end = '\n' if a.lf_replies else '\r\n'
        s = self.sessions.get(rec['session']) if a.lf_replies and status == 200 and rec['method'] == 'PLAY' else None
        with conn.lock:
            conn.send((end.join(reply) + end + end).encode() + content)
            if s and s.tcp and s.conn is conn:
                self.send_rtp(s, [NULL_CRLF])  # the first frame after the reply holds CR LF CR LF
        if keep and (a.close_after_reply or a.close_after_play and rec['method'] == 'PLAY'):
            self.close(conn, 'after-reply' if a.close_after_reply else 'after-play')
            keep = False
        return keep

    def close(self, conn, why):
        conn.closing = True
        self.log('closed', peer=conn.name, why=why)
        conn.shut()

    def find_session(self, hdr, rec, required):
        if 'session' not in hdr:
            if required:
                raise Refuse(454, 'no Session header')
            return None
        rec['session'] = sid = hdr['session'].split(';')[0].strip()
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
        stream, q = (None, None) if method == 'OPTIONS' and url == '*' else split_url(url)
        rec['query'], query = parse_query(q)
        s = self.find_session(hdr, rec, method in ('PLAY', 'TEARDOWN'))
        if stream is not None and method != 'DESCRIBE' and (not s or stream != s.stream_id):
            raise Refuse(454, f'stream {stream} is not the session\'s')
        if method == 'PLAY' and stream is None and not a.no_stream_id:
            raise Refuse(400, f'{method} needs rtsp://host/stream=<id>')
        if query and method not in ('SETUP', 'PLAY'):
            raise Refuse(400, f'{method} takes no parameters')
        if ('addpids' in query or 'delpids' in query) and not s:
            raise Refuse(400, 'addpids/delpids need a session')
        if s and not s.tcp:
            s.conn = conn
        if method == 'OPTIONS':
            return ['Public: ' + ', '.join(SUPPORTED)] + ([f'Session: {s.id}'] if s else []), b''
        if method == 'DESCRIBE':
            return self.describe(stream)
        if method == 'TEARDOWN':
            self.end_session(s, 'teardown')
            return [f'Session: {s.id}'], b''
        if method == 'PLAY':
            time.sleep(a.slow_play or 0)
            if a.refuse_play:
                raise Refuse(a.refuse_play, f'refused by --refuse-play {a.refuse_play}')
            s.retune(query)
            info = f'seq={s.seq & 0xffff};rtptime={self.rtp_time(s)}'
            if s.play_t is None:
                s.play_t = time.monotonic()
                if self.first_play is None:
                    self.first_play, self.first_sid = s.play_t, s.id
                threading.Thread(target=self.stream, args=(s,), daemon=True).start()
                while a.frames_before_reply and s.tcp and s.stats['datagrams'] < 5 and time.monotonic() - s.play_t < 1:
                    time.sleep(0.01)  # the stream is under way before the reply
            return [f'Session: {s.id}', f'RTP-Info: url=rtsp://{url.split("/")[2]}/stream={s.stream_id};{info}',
                    'Range: npt=0.000-'], b''
        if a.refuse:
            raise Refuse(a.refuse, f'refused by --refuse {a.refuse}')
        if s:
            s.retune(query)
        else:
            missing = [k for k in TUNING if k not in query]
            if missing or 'transport' not in hdr:
                raise Refuse(400, 'missing ' + ','.join(missing or ['Transport header']))
            transport = parse_transport(hdr['transport'])
            socks = () if transport['tcp'] else self.udp_pair()
            with self.lock:
                if a.max_sessions is not None and len(self.sessions) >= a.max_sessions:
                    for sock in socks:
                        sock.close()
                    raise Refuse(503, 'no free tuner')
                s = Session('%016x' % random.getrandbits(64), self.next_stream, query, transport, conn)
                self.next_stream, self.sessions[s.id], s.socks, rec['session'] = s.stream_id + 1, s, socks, s.id
        if s.tcp:
            tr = f'RTP/AVP/TCP;interleaved={s.ports[0]}-{s.ports[1]}'
        else:
            sp = s.socks[0].getsockname()[1]
            tr = (f'RTP/AVP;unicast;destination={s.client_ip};source={a.host};'
                  f'client_port={s.ports[0]}-{s.ports[1]};server_port={sp}-{sp + 1}')
        return [f'Session: {s.id};timeout={a.session_timeout}'] + \
            ([] if a.no_stream_id else [f'com.ses.streamID: {s.stream_id}']) + [f'Transport: {tr}'], b''

    def udp_pair(self):
        for _ in range(100):
            rtp, rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            rtp.bind((self.args.host, 0))
            port = rtp.getsockname()[1]
            with contextlib.suppress(OSError):
                if port % 2 == 0:
                    rtcp.bind((self.args.host, port + 1))
                    return rtp, rtcp
            rtp.close()
            rtcp.close()
        raise Refuse(500, 'no free server port pair')

    def describe(self, stream):
        with self.lock:
            chosen = [s for s in self.sessions.values() if stream in (None, s.stream_id)]
        if not chosen and not self.args.big_describe:
            raise Refuse(404, 'nothing to describe')
        sdp = ['v=0', f'o=- {chosen[0].id if chosen else 0} 1 IN IP4 {self.args.host}',
               f's=SatIPServer:1 {self.tuners()}', 't=0 0']
        for s in chosen:
            sdp += ['m=video 0 RTP/AVP 33', 'c=IN IP4 0.0.0.0', f'a=control:stream={s.stream_id}',
                    f'a=fmtp:33 {self.tuner_text(s)}', 'a=sendonly' if s.play_t else 'a=inactive']
        body = '\r\n'.join(sdp) + '\r\n'
        if self.args.big_describe:  # 70 000 bytes in lines of 100, the last 100 to 199
            n = (70000 - len(body)) // 100 - 1
            body += ('a=x-pad:' + 'x' * 90 + '\r\n') * n + 'a=x-pad:' + 'x' * (69990 - len(body) - n * 100) + '\r\n'
        return [f'Content-Base: rtsp://{self.args.host}:{self.rtsp_port}/'], body.encode()

    def tuners(self):
        return self.args.max_sessions or 2

    def end_session(self, s, why):
        with self.lock:
            if not s.alive:
                return
            s.alive = False
            self.sessions.pop(s.id, None)
            left = len(self.sessions)
        for sock in s.socks:
            sock.close()
        self.log(why, session=s.id, stream_id=s.stream_id, open=left, **s.stats)

    # ---------------------------------------------------------------- RTP / RTCP
    def locked(self, s):
        return self.args.lock and time.monotonic() - s.setup_t >= self.args.lock_after

    def tuner_text(self, s):
        p, lock = s.params, self.locked(s)
        fields = [p.get('fe', '1'), 200 if lock else 20, int(lock), 15 if lock else 0, p['freq'], p['pol'],
                  p['msys'], p.get('mtype', 'qpsk' if p['msys'] == 'dvbs' else '8psk'), p.get('plts', 'off'),
                  p.get('ro', '0.35'), p['sr'], p.get('fec', '34')]
        return f'ver=1.0;src={p.get("src", "1")};tuner={",".join(map(str, fields))};pids={s.pid_text()}'

    def rtp_time(self, s):
        return (s.ts_base + int((time.monotonic() - s.setup_t) * 90000)) & 0xffffffff

    def deliver(self, s, data, channel):
        if s.tcp:
            s.conn.send(struct.pack('>cBH', b'$', s.ports[channel], len(data)) + data)
        else:
            with contextlib.suppress(OSError):
                s.socks[channel].sendto(data, (s.client_ip, s.ports[channel]))

    def send_rtp(self, s, buf):
        """One datagram of buf's packets; on a connection, under its lock so frames go in sequence order."""
        st, pad = s.stats, self.args.rtp_padding
        with s.conn.lock if s.tcp else contextlib.nullcontext():
            if self.args.gap_every and (st['datagrams'] + 1) % self.args.gap_every == 0:
                s.seq, st['gaps'] = s.seq + 1, st['gaps'] + 1
            payload, last = b''.join(buf), buf[-1]
            # Padding starts as a packet of the last one's PID: a client reading it as payload is fooled.
            junk = (bytes([0x47, last[1] & 0x1f, last[2], 0x10 | (last[3] + 1) & 0xf]) + b'\xa5' * 255)[:pad - 1] \
                + bytes([pad]) if pad else b''
            head = struct.pack('>BBHII', 0xa0 if pad else 0x80, 33, s.seq & 0xffff, self.rtp_time(s), s.ssrc)
            self.deliver(s, head + payload + junk, 0)
            s.seq += 1
            st['datagrams'], st['ts_packets'], st['octets'] = st['datagrams'] + 1, st['ts_packets'] + len(buf), \
                st['octets'] + len(payload)
        buf.clear()

    def send_rtcp(self, s):
        ntp = time.time() + 2208988800
        sr = struct.pack('>BBHIIIIII', 0x80, 200, 6, s.ssrc, int(ntp), int(ntp % 1 * 2 ** 32), self.rtp_time(s),
                         s.stats['datagrams'] & 0xffffffff, s.stats['octets'] & 0xffffffff)
        text = self.tuner_text(s).encode()
        padded = text + b'\0' * (-len(text) % 4)
        app = struct.pack('>BBHI4sHH', 0x80, 204, 3 + len(padded) // 4, s.ssrc, b'SES1', 0, len(text)) + padded
        self.deliver(s, sr + app, 1)
        s.stats['rtcp'] += 1

    def stream(self, s):
        """Paces the whole capture at --rate-mbps and sends the session's pids, 7 packets a datagram."""
        a, pk = self.args, self.packets
        dt = TS * 8 / (a.rate_mbps * 1e6) if a.rate_mbps > 0 else 0.0
        t0, n, i, buf, buf_t, next_rtcp = time.monotonic(), 0, 0, [], 0.0, 0.0
        if a.rest_after is not None:  # the newest stream goes on from where the one before it left the capture
            i, self.pos_sid = self.pos, s.id
        while s.alive and not self.stop.is_set():
            now = time.monotonic()
            if a.rtcp_interval and now >= next_rtcp:
                self.send_rtcp(s)
                next_rtcp = now + a.rtcp_interval
            stalled = a.stall_after is not None and s.id == self.first_sid and now - s.play_t >= a.stall_after \
                or self.rest == 'on'
            i = 0 if i >= len(pk) and a.loop else i
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
            if self.pos_sid == s.id:
                self.pos = i
            if s.pids == 'all' or pid in s.pids:
                buf_t = buf_t if buf else now
                buf.append(data)
                if len(buf) == PER_DGRAM:
                    self.send_rtp(s, buf)

    # ---------------------------------------------------------------- timers
    def tick(self):
        a, now = self.args, time.monotonic()
        with self.lock:
            sessions, conns = list(self.sessions.values()), [c for c in self.conns if not c.closing]
        for c in conns:
            if a.idle_close and now - c.t >= a.idle_close and not any(s.tcp and s.conn is c for s in sessions):
                self.close(c, 'idle')
            elif a.server_requests and now >= c.next_req:
                c.next_req, c.cseq = now + a.server_requests, c.cseq + 1
                c.send(f'OPTIONS * RTSP/1.0\r\nCSeq: {c.cseq}\r\n\r\n'.encode())
                self.log('server-request', peer=c.name, cseq=c.cseq)
        if a.rest_after is not None and self.first_play and self.rest != 'done' \
                and now - self.first_play >= a.rest_after + (a.rest_for if self.rest else 0):
            self.rest = 'done' if self.rest else 'on'
            if self.rest == 'on':
                self.log('rest', seconds=a.rest_for)
            else:
                self.log('resume')
        for s in sessions:
            if now - s.last_seen > a.session_timeout:
                self.end_session(s, 'expired')
            elif a.drop_after is not None and s.id == self.first_sid and now - s.play_t >= a.drop_after:
                s.conn.shut()
                self.end_session(s, 'dropped')
        if a.restart_after is not None and self.first_play and not self.restarted \
                and now - self.first_play >= a.restart_after:
            self.restarted = self.down = True
            self.acceptor.join()
            with self.lock:
                conns, sessions = list(self.conns), list(self.sessions.values())
            for c in conns:
                c.shut()
            for s in sessions:
                self.end_session(s, 'restart')
            self.log('down', seconds=a.down_for)
            if not self.stop.wait(a.down_for):
                self.down, self.next_stream = False, 1
                self.listen(self.rtsp_port)
                self.log('up', rtsp=self.rtsp_port)

    # ---------------------------------------------------------------- discovery
    def start_discovery(self):
        srv, a, uuid = self, self.args, '%08x-0000-4000-8000-%012x' % (random.getrandbits(32), random.getrandbits(48))
        desc = (f'<?xml version="1.0"?>\r\n<root xmlns="urn:schemas-upnp-org:device-1-0" configId="1">\r\n'
                f'<specVersion><major>1</major><minor>1</minor></specVersion>\r\n<device>\r\n'
                f'<deviceType>{URN}</deviceType>\r\n<friendlyName>{a.name}</friendlyName>\r\n'
                f'<manufacturer>Quillmoth tests</manufacturer>\r\n<modelName>test tuner</modelName>\r\n'
                f'<UDN>uuid:{uuid}</UDN>\r\n<satip:X_SATIPCAP xmlns:satip="urn:ses-com:satip">DVBS2-{self.tuners()}'
                f'</satip:X_SATIPCAP>\r\n</device>\r\n</root>\r\n').encode()

        class Desc(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = desc if self.path == '/desc.xml' else b''
                self.send_response(200 if body else 404)
                self.send_header('Content-Type', 'text/xml')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                srv.log('http', path=self.path, status=200 if body else 404)

            def log_message(self, *args):
                pass

        httpd = http.server.ThreadingHTTPServer((a.host, a.http_port), Desc)
        self.http_port = httpd.server_address[1]
        threading.Thread(target=httpd.serve_forever, daemon=True).start()
        socks = []
        if a.ssdp:
            m = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            m.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            m.bind(('', 1900))
            m.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton('239.255.255.250') + socket.inet_aton(a.host))
            socks.append(m)
        if a.ssdp_port is not None:
            socks.append(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
            socks[-1].bind((a.host, a.ssdp_port))
            self.ssdp_port = socks[-1].getsockname()[1]
        host = '127.0.0.1' if a.host == '0.0.0.0' else a.host
        reply = (f'HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: http://{host}:{self.http_port}'
                 f'/desc.xml\r\nSERVER: Linux/1.0 UPnP/1.1 TestTuner/1.0\r\nST: {{}}\r\nUSN: uuid:{uuid}::{URN}\r\n'
                 f'BOOTID.UPNP.ORG: 1\r\nCONFIGID.UPNP.ORG: 1\r\n\r\n')
        threading.Thread(target=self.ssdp_loop, args=(socks, reply), daemon=True).start()

    def ssdp_loop(self, socks, reply):
        while not self.stop.is_set():
            for sock in select.select(socks, [], [], 0.5)[0]:
                data, peer = sock.recvfrom(4096)
                lines = data.decode('latin-1').split('\r\n')
                hdr = {k.strip().upper(): v.strip() for k, _, v in (l.partition(':') for l in lines[1:])}
                st = hdr.get('ST', '')
                ok = lines[0] == 'M-SEARCH * HTTP/1.1' and hdr.get('MAN') == '"ssdp:discover"' and \
                    st in (URN, 'ssdp:all', 'upnp:rootdevice')
                self.log('msearch', peer='%s:%d' % peer, line=lines[0], st=st, answered=ok)
                if ok:
                    sock.sendto(reply.format(URN if st == 'ssdp:all' else st).encode(), peer)


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
    p.add_argument('--stall-after', type=float, help='first session played: no RTP from this long after PLAY')
    p.add_argument('--drop-after', type=float, help='first session played: close its connection and forget it')
    p.add_argument('--restart-after', type=float, help='restart this long after the first PLAY')
    p.add_argument('--down-for', type=float, default=2.0)
    p.add_argument('--gap-every', type=int, help='skip one sequence number every N datagrams')
    p.add_argument('--max-sessions', type=int, help='tuners: SETUPs beyond this many sessions get 503')
    p.add_argument('--close-after-reply', action='store_true', help='close the connection after every reply')
    p.add_argument('--close-after-play', action='store_true', help='close the connection after every PLAY reply')
    p.add_argument('--idle-close', type=float, help='close a connection without requests for this long '
                   '(not one carrying an interleaved session)')
    p.add_argument('--rtcp-interval', type=float, default=0.2, help='seconds between RTCP reports; 0 = none')
    p.add_argument('--rest-after', type=float, help='once, this long after the first PLAY: no RTP for --rest-for, '
                   'then on from where it stopped')
    p.add_argument('--rest-for', type=float, default=2.0)
    p.add_argument('--frames-before-reply', action='store_true',
                   help='interleaved: frames (5 datagrams, or 1 s of them) before the PLAY reply')
    p.add_argument('--rtp-padding', type=int, default=0, metavar='N', help='N (1-255) bytes of RTP padding a datagram')
    p.add_argument('--lf-replies', action='store_true', help='reply lines end in LF alone; interleaved, a frame '
                   'holding CR LF CR LF follows each PLAY reply')
    p.add_argument('--server-requests', type=float, help='send OPTIONS * to every connection this often')
    p.add_argument('--no-stream-id', action='store_true', help='SETUP replies without the stream id; PLAY on '
                   'the base URL accepted')
    p.add_argument('--refuse-play', type=int, help='answer PLAY with this status; the session stays')
    p.add_argument('--slow-play', type=float, help='answer PLAY this late')
    p.add_argument('--big-describe', action='store_true', help='DESCRIBE replies of 70 000 bytes')
    p.add_argument('--ssdp', action='store_true', help='answer M-SEARCH on 239.255.255.250:1900')
    p.add_argument('--ssdp-port', type=int, help='answer unicast M-SEARCH on this port (0 = free)')
    p.add_argument('--http-port', type=int, default=0, help='port of desc.xml')
    p.add_argument('--name', default='Quillmoth test tuner')
    args = p.parse_args()
    if not 0 <= args.rtp_padding <= 255:
        p.error('--rtp-padding takes 1 to 255')
    srv = Server(args)
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
    srv.log('exit', left_open=len(sessions))


if __name__ == '__main__':
    main()
