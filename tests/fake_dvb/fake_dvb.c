// A DVB adapter that is not there, for the tests: preloaded, it answers for
// /dev/dvb/adapterN/ as a satellite card behind an LNB would, plays a capture
// through the dvr device while locked and filtered, and logs what it was told.
//   FAKE_DVB_TRANSPONDER=kHz:sym/s:h|v  FAKE_DVB_LNB=lof1:lof2:switch (kHz)
//   FAKE_DVB_SYSTEM=dvbs|dvbs2  FAKE_DVB_PORT=a|b|1..4 (the switch input, if any)
//   FAKE_DVB_CAPTURE=file  FAKE_DVB_RATE_KBPS (20000)  FAKE_DVB_PASSES (1; 0 for ever)
//   FAKE_DVB_UNPLUG_AFTER=s: gone for 1 s, its open devices for good
//   FAKE_DVB_OVERFLOW_AFTER=s: one read fails with EOVERFLOW (nothing is lost)
//   FAKE_DVB_FADE_AFTER=s: the lock is lost for 1.5 s, then comes back by itself
//   FAKE_DVB_LOG=file
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { NONE, FE, DMX, DVR };
static int kind[4096], gen[4096], generation, wfd = -1, passes = 1, pass, filterPid = -1, filtering, locked;
static int tone, voltage, freq, sr, sys, burst, overflowDue;
static unsigned char lastCmd;
static long long want[3], lnb[3];  // transponder kHz, sym/s, horizontal; lof1, lof2, switch
static double rateKbps = 20000, unplugAfter, overflowAfter, fadeAfter, fadeUntil, goneUntil, firstActive = -1;
static const char *wantSys = "dvbs2", *wantPort = "";
static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static int (*realOpen)(const char*, int, ...), (*realClose)(int), (*realIoctl)(int, unsigned long, ...);
static ssize_t (*realRead)(int, void*, size_t);
static int (*realPoll)(struct pollfd*, nfds_t, int);

static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec / 1e9; }
static void say(const char* format, ...) {
    FILE* f = getenv("FAKE_DVB_LOG") ? fopen(getenv("FAKE_DVB_LOG"), "a") : NULL;
    if (!f) return;
    va_list a; va_start(a, format); vfprintf(f, format, a); va_end(a);
    fputc('\n', f); fclose(f);
}
static double envNumber(const char* name, double otherwise) { return getenv(name) ? atof(getenv(name)) : otherwise; }

static void* feed(void* unused) {
    (void)unused;
    FILE* capture = fopen(getenv("FAKE_DVB_CAPTURE") ? getenv("FAKE_DVB_CAPTURE") : "", "rb");
    unsigned char batch[188 * 256], packet[188];
    double start = 0; long long sent = 0;
    for (;;) {
        pthread_mutex_lock(&m);
        double t = now();
        if (firstActive >= 0 && unplugAfter > 0 && t - firstActive >= unplugAfter) {
            unplugAfter = 0; generation++; goneUntil = t + 1; locked = filtering = 0;
            say("unplug");
        }
        if (firstActive >= 0 && overflowAfter > 0 && t - firstActive >= overflowAfter) overflowAfter = 0, overflowDue = 1;
        // Once started the broadcast goes on: what comes while the card is
        // not locked, not filtering or gone is lost.
        if (firstActive >= 0 && fadeAfter > 0 && t - firstActive >= fadeAfter)
            fadeAfter = 0, fadeUntil = t + 1.5, locked = 0, say("fade");
        if (fadeUntil > 0 && t >= fadeUntil) fadeUntil = 0, locked = 1, say("fade over");
        int active = capture && locked && filtering && wfd >= 0 && (passes == 0 || pass < passes);
        if (active && firstActive < 0) firstActive = start = t;
        long long due = (long long)((t - start) * rateKbps * 1000 / (188 * 8)) + 1 - sent;
        size_t n = 0;
        for (; firstActive >= 0 && due > 0 && n < sizeof batch && (passes == 0 || pass < passes); due--, sent++) {
            if (fread(packet, 1, 188, capture) != 188) { pass++; rewind(capture); continue; }
            if (active && ((packet[1] & 0x1F) << 8 | packet[2]) == filterPid) memcpy(batch + n, packet, 188), n += 188;
        }
        for (size_t at = 0; at < n;) {
            ssize_t w = send(wfd, batch + at, n - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            int g = generation;
            if (w > 0) { at += (size_t)w; continue; }
            pthread_mutex_unlock(&m); usleep(500); pthread_mutex_lock(&m);
            if (g != generation || wfd < 0) break;
        }
        pthread_mutex_unlock(&m);
        usleep(1000);
    }
    return NULL;
}

__attribute__((constructor)) static void setUp(void) {
    realOpen = dlsym(RTLD_NEXT, "open"); realClose = dlsym(RTLD_NEXT, "close");
    realIoctl = dlsym(RTLD_NEXT, "ioctl"); realRead = dlsym(RTLD_NEXT, "read"); realPoll = dlsym(RTLD_NEXT, "poll");
    char h = 'v';
    if (getenv("FAKE_DVB_TRANSPONDER")) sscanf(getenv("FAKE_DVB_TRANSPONDER"), "%lld:%lld:%c", &want[0], &want[1], &h);
    want[2] = h == 'h';
    if (getenv("FAKE_DVB_LNB")) sscanf(getenv("FAKE_DVB_LNB"), "%lld:%lld:%lld", &lnb[0], &lnb[1], &lnb[2]);
    if (getenv("FAKE_DVB_SYSTEM")) wantSys = getenv("FAKE_DVB_SYSTEM");
    if (getenv("FAKE_DVB_PORT")) wantPort = getenv("FAKE_DVB_PORT");
    rateKbps = envNumber("FAKE_DVB_RATE_KBPS", 20000); passes = (int)envNumber("FAKE_DVB_PASSES", 1);
    unplugAfter = envNumber("FAKE_DVB_UNPLUG_AFTER", 0); overflowAfter = envNumber("FAKE_DVB_OVERFLOW_AFTER", 0);
    fadeAfter = envNumber("FAKE_DVB_FADE_AFTER", 0);
}

static int fakeOpen(const char* path, int flags, mode_t mode) {
    if (!realOpen) setUp();
    if (strncmp(path, "/dev/dvb/adapter", 16) != 0) return realOpen(path, flags, mode);
    int k = strstr(path, "frontend") ? FE : strstr(path, "demux") ? DMX : strstr(path, "dvr") ? DVR : NONE;
    pthread_mutex_lock(&m);
    int fd = -1, pair[2];
    // One adapter with one frontend.
    if (k == NONE || now() < goneUntil || strncmp(path, "/dev/dvb/adapter0/", 18) || path[strlen(path) - 1] != '0')
        errno = ENOENT;
    else if (k != DVR) fd = realOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    else if (socketpair(AF_UNIX, SOCK_STREAM | (flags & O_NONBLOCK ? SOCK_NONBLOCK : 0), 0, pair) == 0) {
        int size = 4 << 20;
        setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        if (wfd >= 0) realClose(wfd);
        fd = pair[0], wfd = pair[1];
        static pthread_t feeder;
        if (!feeder && pthread_create(&feeder, NULL, feed, NULL) == 0) pthread_setname_np(feeder, "fake_dvb");
    }
    if (fd >= 0 && fd < 4096) kind[fd] = k, gen[fd] = generation;
    pthread_mutex_unlock(&m);
    say("open %s%s", strrchr(path, '/') + 1, fd < 0 ? " failed" : "");
    return fd;
}
int open(const char* path, int flags, ...) {
    va_list a; va_start(a, flags); mode_t mode = va_arg(a, mode_t); va_end(a);
    return fakeOpen(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    va_list a; va_start(a, flags); mode_t mode = va_arg(a, mode_t); va_end(a);
    return fakeOpen(path, flags, mode);
}

static int ours(int fd) { return fd >= 0 && fd < 4096 && kind[fd] != NONE; }
static int gone(int fd) { return gen[fd] != generation; }

int close(int fd) {
    if (!realClose) setUp();
    if (ours(fd)) {
        pthread_mutex_lock(&m);
        if (kind[fd] == DVR && !gone(fd) && wfd >= 0) realClose(wfd), wfd = -1;
        if (kind[fd] == DMX && !gone(fd)) filtering = 0;
        kind[fd] = NONE;
        pthread_mutex_unlock(&m);
    }
    return realClose(fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
    if (!realRead) setUp();
    if (ours(fd) && kind[fd] == DVR) {
        pthread_mutex_lock(&m);
        int error = gone(fd) ? ENODEV : overflowDue ? EOVERFLOW : 0;
        if (error == EOVERFLOW) overflowDue = 0, say("overflow");
        pthread_mutex_unlock(&m);
        if (error) { errno = error; return -1; }
    }
    return realRead(fd, buffer, size);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    if (!realPoll) setUp();
    for (nfds_t i = 0; i < count; ++i)
        if (ours(fds[i].fd) && gone(fds[i].fd)) { fds[i].revents = POLLERR; return 1; }
    return realPoll(fds, count, timeout);
}

// Whether the last tune reaches the transponder through the LNB and switch.
static int reaches(void) {
    int high = lnb[1] && lnb[2] && want[0] >= lnb[2];
    long long ifreq = llabs(want[0] - (high ? lnb[1] : lnb[0]));
    if (freq != ifreq || sr != want[1] || tone != high || voltage != (want[2] ? 18 : 13)) return 0;
    if (strcmp(wantSys, sys == SYS_DVBS2 ? "dvbs2" : "dvbs") != 0) return 0;
    if (*wantPort == 'a' || *wantPort == 'b') return burst == *wantPort;
    if (*wantPort) return lastCmd == (0xF0 | (atoi(wantPort) - 1) << 2 | (want[2] ? 2 : 0) | high);
    return 1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list a; va_start(a, request); void* arg = va_arg(a, void*); va_end(a);
    if (!realIoctl) setUp();
    if (!ours(fd)) return realIoctl(fd, request, arg);
    pthread_mutex_lock(&m);
    int result = 0;
    int value = (int)(long)arg;
    struct dtv_properties* props = arg;
    if (gone(fd)) errno = ENODEV, result = -1;
    else if (request == FE_GET_INFO) {
        struct dvb_frontend_info* info = arg;
        memset(info, 0, sizeof *info);
        strcpy(info->name, "Test DVB-S/S2 frontend");
        info->type = FE_QPSK, info->frequency_min = 950000, info->frequency_max = 2150000;
        info->symbol_rate_min = 1000000, info->symbol_rate_max = 45000000;
        info->caps = FE_CAN_INVERSION_AUTO | FE_CAN_FEC_AUTO | FE_CAN_QPSK | FE_CAN_2G_MODULATION;
    } else if (request == FE_SET_PROPERTY) {
        for (unsigned i = 0; i < props->num; ++i) {
            struct dtv_property* p = &props->props[i];
            if (p->cmd == DTV_CLEAR) freq = sr = sys = 0;
            if (p->cmd == DTV_FREQUENCY) freq = (int)p->u.data;
            if (p->cmd == DTV_SYMBOL_RATE) sr = (int)p->u.data;
            if (p->cmd == DTV_DELIVERY_SYSTEM) sys = (int)p->u.data;
            if (p->cmd == DTV_TUNE) {
                locked = reaches();
                say("tune freq=%d sr=%d sys=%s voltage=%d tone=%s", freq, sr, sys == SYS_DVBS2 ? "dvbs2" : "dvbs",
                    voltage, tone ? "on" : "off");
            }
        }
    } else if (request == FE_GET_PROPERTY) {
        for (unsigned i = 0; i < props->num; ++i) {
            struct dtv_property* p = &props->props[i];
            if (p->cmd == DTV_ENUM_DELSYS) p->u.buffer.data[0] = SYS_DVBS, p->u.buffer.data[1] = SYS_DVBS2, p->u.buffer.len = 2;
            if (p->cmd == DTV_STAT_SIGNAL_STRENGTH)
                p->u.st.len = 1, p->u.st.stat[0].scale = FE_SCALE_RELATIVE, p->u.st.stat[0].uvalue = locked ? 51118 : 26214;
            if (p->cmd == DTV_STAT_CNR) p->u.st.len = locked, p->u.st.stat[0].scale = FE_SCALE_DECIBEL, p->u.st.stat[0].svalue = 12300;
        }
    } else if (request == FE_READ_STATUS) *(fe_status_t*)arg = locked ? 0x1F : 0;
    else if (request == FE_SET_TONE) tone = value == SEC_TONE_ON;
    else if (request == FE_SET_VOLTAGE) voltage = value == SEC_VOLTAGE_18 ? 18 : value == SEC_VOLTAGE_13 ? 13 : 0;
    else if (request == FE_DISEQC_SEND_BURST) burst = value == SEC_MINI_B ? 'b' : 'a', say("burst %c", burst);
    else if (request == FE_DISEQC_SEND_MASTER_CMD) {
        struct dvb_diseqc_master_cmd* c = arg;
        lastCmd = c->msg[3];
        say("diseqc %02x %02x %02x %02x", c->msg[0], c->msg[1], c->msg[2], c->msg[3]);
    } else if (request == DMX_SET_BUFFER_SIZE) say("buffer %d", value);
    else if (request == DMX_SET_PES_FILTER) {
        struct dmx_pes_filter_params* f = arg;
        filterPid = f->pid, filtering = (f->flags & DMX_IMMEDIATE_START) != 0;
        say("filter pid=%d input=%s output=%s", f->pid, f->input == DMX_IN_FRONTEND ? "frontend" : "?",
            f->output == DMX_OUT_TS_TAP ? "tap" : "?");
    } else if (request == DMX_START) filtering = 1;
    else if (request == DMX_STOP) filtering = 0, say("stop");
    pthread_mutex_unlock(&m);
    return result;
}
