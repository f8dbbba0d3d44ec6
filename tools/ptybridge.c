/*
 * ptybridge: a virtual serial line between two pseudo-terminals.
 *
 * Creates two pty pairs, "port" (mapped as a Wine COM port) and "peer" (used by
 * the test's other end), and copies bytes between the two masters in both
 * directions. The bridge keeps both slave ends open itself, so a master never
 * sees a hang-up when the program on a slave closes it: the COM port can be
 * closed and reopened any number of times without losing the peer, and bytes
 * queued on one side wait for the other side to read them.
 *
 * Both slaves are put into raw mode (no echo, no line editing, no signals, no
 * CR/LF translation, 8-bit clean) before their paths are published.
 *
 * Usage: ptybridge [-o INFOFILE] [-t SECONDS] [-l PORTLINK] [-L PEERLINK] [-v]
 *   -o  write "PORT=<slave path>\nPEER=<slave path>\n" to INFOFILE (atomically,
 *       through a temporary file and rename) once both ptys are ready
 *   -t  exit by itself after SECONDS (exit status 3); default: run until killed
 *   -l, -L  create symlinks PORTLINK / PEERLINK to the two slaves (removed at exit)
 *   -v  log every transfer to standard error
 * The same two lines are printed on standard output. SIGTERM, SIGINT and SIGHUP
 * end the bridge with status 0; it prints the byte counts on standard error.
 *
 * Structure: one `struct side` per pty pair, with the queue of bytes waiting to
 * be written into its master. The modem-line emulation (shared line state for
 * an LD_PRELOAD shim in the Wine process) is meant to hang off `struct side`
 * and the poll loop, next to the byte pump.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define QUEUE_SIZE 65536

struct queue {
    unsigned char data[QUEUE_SIZE];
    size_t head; /* next byte to write out */
    size_t len;  /* bytes queued */
};

struct side {
    const char *name;  /* "port" or "peer" */
    int master;        /* the end the bridge reads and writes */
    int slave_keep;    /* the slave, held open so the master never hangs up */
    char slave_path[128];
    const char *link;  /* optional symlink to the slave */
    struct queue out;  /* bytes waiting to be written into this master */
    unsigned long long bytes_in;  /* read from this master */
    unsigned long long bytes_out; /* written to this master */
};

static volatile sig_atomic_t stop_signal;
static int verbose;

static void on_signal(int sig) { stop_signal = sig; }

static void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("ptybridge: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    exit(1);
}

static void make_raw(int fd, const char *what) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) die("tcgetattr %s: %s", what, strerror(errno));
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) die("tcsetattr %s: %s", what, strerror(errno));
}

static void open_side(struct side *s) {
    s->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s->master < 0) die("posix_openpt: %s", strerror(errno));
    if (grantpt(s->master) != 0 || unlockpt(s->master) != 0)
        die("grantpt/unlockpt: %s", strerror(errno));
    if (ptsname_r(s->master, s->slave_path, sizeof s->slave_path) != 0)
        die("ptsname: %s", strerror(errno));
    s->slave_keep = open(s->slave_path, O_RDWR | O_NOCTTY);
    if (s->slave_keep < 0) die("open %s: %s", s->slave_path, strerror(errno));
    make_raw(s->slave_keep, s->slave_path);
    int fl = fcntl(s->master, F_GETFL);
    if (fl < 0 || fcntl(s->master, F_SETFL, fl | O_NONBLOCK) != 0)
        die("fcntl: %s", strerror(errno));
    fcntl(s->master, F_SETFD, FD_CLOEXEC);
    fcntl(s->slave_keep, F_SETFD, FD_CLOEXEC);
    if (s->link) {
        unlink(s->link);
        if (symlink(s->slave_path, s->link) != 0) die("symlink %s: %s", s->link, strerror(errno));
    }
}

static void write_info(const char *path, const struct side *port, const struct side *peer) {
    char tmp[4096];
    if (snprintf(tmp, sizeof tmp, "%s.tmp.%ld", path, (long)getpid()) >= (int)sizeof tmp)
        die("info file path too long");
    FILE *f = fopen(tmp, "w");
    if (!f) die("open %s: %s", tmp, strerror(errno));
    fprintf(f, "PORT=%s\nPEER=%s\n", port->slave_path, peer->slave_path);
    if (fclose(f) != 0) die("write %s: %s", tmp, strerror(errno));
    if (rename(tmp, path) != 0) die("rename %s: %s", path, strerror(errno));
}

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static size_t queue_room(const struct queue *q) { return QUEUE_SIZE - q->len; }

/* Reads what `from`'s master has into `to`'s queue, as far as there is room. */
static void pump_in(struct side *from, struct side *to) {
    while (queue_room(&to->out) > 0) {
        size_t tail = (to->out.head + to->out.len) % QUEUE_SIZE;
        size_t chunk = QUEUE_SIZE - tail;
        if (chunk > queue_room(&to->out)) chunk = queue_room(&to->out);
        ssize_t n = read(from->master, to->out.data + tail, chunk);
        if (n > 0) {
            to->out.len += (size_t)n;
            from->bytes_in += (unsigned long long)n;
            if (verbose) fprintf(stderr, "ptybridge: %s -> %s %zd bytes\n", from->name, to->name, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        /* EIO cannot happen while slave_keep is open; anything else is fatal. */
        die("read %s master: %s", from->name, n == 0 ? "end of file" : strerror(errno));
    }
}

/* Writes as much of `s`'s queue into its master as the pty accepts. */
static void pump_out(struct side *s) {
    while (s->out.len > 0) {
        size_t chunk = QUEUE_SIZE - s->out.head;
        if (chunk > s->out.len) chunk = s->out.len;
        ssize_t n = write(s->master, s->out.data + s->out.head, chunk);
        if (n > 0) {
            s->out.head = (s->out.head + (size_t)n) % QUEUE_SIZE;
            s->out.len -= (size_t)n;
            s->bytes_out += (unsigned long long)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        die("write %s master: %s", s->name, strerror(errno));
    }
}

int main(int argc, char **argv) {
    const char *info = NULL;
    double limit = 0;
    struct side sides[2];
    memset(sides, 0, sizeof sides);
    sides[0].name = "port";
    sides[1].name = "peer";

    int opt;
    while ((opt = getopt(argc, argv, "o:t:l:L:v")) != -1) {
        switch (opt) {
        case 'o': info = optarg; break;
        case 't': limit = atof(optarg); break;
        case 'l': sides[0].link = optarg; break;
        case 'L': sides[1].link = optarg; break;
        case 'v': verbose = 1; break;
        default:
            fprintf(stderr, "usage: ptybridge [-o INFOFILE] [-t SECONDS] [-l PORTLINK] [-L PEERLINK] [-v]\n");
            return 2;
        }
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    open_side(&sides[0]);
    open_side(&sides[1]);
    if (info) write_info(info, &sides[0], &sides[1]);
    printf("PORT=%s\nPEER=%s\n", sides[0].slave_path, sides[1].slave_path);
    fflush(stdout);

    double deadline = limit > 0 ? now_seconds() + limit : 0;
    int status = 0;
    while (!stop_signal) {
        struct pollfd pfd[2];
        for (int i = 0; i < 2; i++) {
            struct side *me = &sides[i], *other = &sides[1 - i];
            pfd[i].fd = me->master;
            pfd[i].events = 0;
            if (queue_room(&other->out) > 0) pfd[i].events |= POLLIN;
            if (me->out.len > 0) pfd[i].events |= POLLOUT;
            pfd[i].revents = 0;
        }
        int timeout = -1;
        if (deadline > 0) {
            double left = deadline - now_seconds();
            if (left <= 0) { status = 3; break; }
            timeout = (int)(left * 1000) + 1;
        }
        int r = poll(pfd, 2, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            die("poll: %s", strerror(errno));
        }
        for (int i = 0; i < 2; i++) {
            if (pfd[i].revents & (POLLIN | POLLHUP | POLLERR)) pump_in(&sides[i], &sides[1 - i]);
        }
        for (int i = 0; i < 2; i++) {
            if (sides[i].out.len > 0) pump_out(&sides[i]);
        }
    }

    for (int i = 0; i < 2; i++) {
        if (sides[i].link) unlink(sides[i].link);
    }
    fprintf(stderr, "ptybridge: %s, port->peer %llu bytes, peer->port %llu bytes\n",
            status == 3 ? "time limit reached" : "stopped", sides[0].bytes_in, sides[1].bytes_in);
    return status;
}
