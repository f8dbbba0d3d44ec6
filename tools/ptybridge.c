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
 * Usage: ptybridge [-o INFOFILE] [-m STATEFILE] [-t SECONDS] [-l PORTLINK] [-L PEERLINK]
 *                  [-n NOISEFILE] [-b BAUD] [-v]
 *        ptybridge ctl STATEFILE COMMAND...   (see "Line state" below)
 *   -o  write "PORT=<slave path>\nPEER=<slave path>\n" to INFOFILE (atomically,
 *       through a temporary file and rename) once both ptys are ready
 *   -t  exit by itself after SECONDS (exit status 3); default: run until killed
 *   -l, -L  create symlinks PORTLINK / PEERLINK to the two slaves (removed at exit)
 *   -m  create STATEFILE, the shared modem-line state of the cable (below)
 *   -n  a noisy cable: read NOISEFILE now and again on every SIGUSR1 (below)
 *   -b  pace both directions at BAUD bits per second, 10 bits a byte: what one
 *       end wrote is handed to the other whole, as a receiver's FIFO hands
 *       over a burst, once the line has carried it after the bytes before it
 *       (a pace made of small timed writes would turn every moment the bridge
 *       or the pty layer is not scheduled into a silence on the line)
 *   -v  log every transfer to standard error
 * The same two lines are printed on standard output. SIGTERM, SIGINT and SIGHUP
 * end the bridge with status 0; it prints the byte counts on standard error.
 *
 * Structure: one `struct side` per pty pair, with the queue of bytes waiting to
 * be written into its master.
 *
 * Line state. With -m the bridge creates STATEFILE (layout and wiring in
 * nullmodem/nullmodem.h) before it publishes the slave paths, keeps the rx/tx
 * counters in it up to date and marks it dead when it exits. The LD_PRELOAD
 * shim nullmodem/nmshim.c, loaded into the program on the port slave, reads and
 * drives the lines through it; `ptybridge ctl` plays the peer end:
 *   ctl STATE set cts|dsr|dcd|ri|dtr|break on|off   drive the peer's outputs
 *                (cts: the peer's RTS; dtr: DSR and DCD together)
 *   ctl STATE get dtr|rts|break|cts|dsr|dcd|ri      print "on" or "off": the
 *                port's outputs, or the lines the port sees
 *   ctl STATE wait dtr|rts|break|cts|dsr|dcd|ri on|off SECONDS
 *                poll (bounded) until the line is so; status 1 on timeout
 *   ctl STATE inject frame|parity|overrun|break|buf_overrun N
 *                count N such events at the port
 *   ctl STATE show                                  print the whole state
 *
 * Noisy cable. NOISEFILE holds key=value words (any layout), per direction,
 * named by the sending end ("port." or "peer."), rates per byte:
 *   seed=N          the generator's seed (printed on standard error), so any
 *                   run replays; reloading restarts the generator and counts
 *   DIR.flip=R      flip one random bit of the byte
 *   DIR.drop=R      lose the byte
 *   DIR.insert=R    put a random byte in front of it
 *   DIR.dup=R       send it twice
 *   DIR.delay=R     hold the direction for DIR.delayms (default 200) ms
 *   DIR.cut=N       from this direction's N-th byte on the line is dead both ways
 *                   (the far end goes silent) until the next reload
 *   DIR.hangpid=P   at the cut, also SIGKILL process P (the far end hangs up)
 * After a reload the bridge writes "applied SEED" to NOISEFILE.ack.
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
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "nullmodem/nullmodem.h"

#define QUEUE_SIZE 65536

struct queue {
    unsigned char data[QUEUE_SIZE];
    size_t head; /* next byte to write out */
    size_t len;  /* bytes queued */
};

struct side {
    const char* name; /* "port" or "peer" */
    int index;        /* 0 port, 1 peer: the end in the line state */
    int master;       /* the end the bridge reads and writes */
    int slave_keep;   /* the slave, held open so the master never hangs up */
    char slave_path[128];
    const char* link;             /* optional symlink to the slave */
    struct queue out;             /* bytes waiting to be written into this master */
    unsigned long long bytes_in;  /* read from this master */
    unsigned long long bytes_out; /* written to this master */
};

static volatile sig_atomic_t stop_signal;
static volatile sig_atomic_t reload_noise;
static double now_seconds(void);
static void die(const char* fmt, ...);

struct noise {
    double flip, drop, insert, dup, delay;
    int delay_ms;
    long long cut; /* -1: none */
    long hangpid;
    unsigned long long seen;
};
static const char* noise_path;
static struct noise noise[2]; /* by the sending side's index */
static unsigned long long noise_seed, rng;
static int line_dead;
static double hold_until[2]; /* per receiving side: no output before this time */
static double char_seconds;  /* -b: time of one byte on the line; 0 unpaced */
static double line_free[2];  /* -b: when the line towards each side is free */
static int verbose;
static struct nm_state* line_state; /* with -m: the shared line state */

static void on_signal(int sig) { stop_signal = sig; }
static void on_reload(int sig) {
    (void)sig;
    reload_noise = 1;
}

static double rnd(void) { /* xorshift64*, [0, 1) */
    rng ^= rng >> 12;
    rng ^= rng << 25;
    rng ^= rng >> 27;
    return (double)((rng * 2685821657736338717ULL) >> 11) / 9007199254740992.0;
}

static void load_noise(void) {
    memset(noise, 0, sizeof noise);
    for (int i = 0; i < 2; i++) {
        noise[i].cut = -1;
        noise[i].delay_ms = 200;
    }
    line_dead = 0;
    FILE* f = fopen(noise_path, "r");
    if (!f) die("cannot read %s", noise_path);
    char word[256];
    while (fscanf(f, "%255s", word) == 1) {
        char* eq = strchr(word, '=');
        if (!eq) continue;
        *eq = 0;
        const char* v = eq + 1;
        if (!strcmp(word, "seed")) {
            noise_seed = strtoull(v, NULL, 10);
            continue;
        }
        int dir = !strncmp(word, "port.", 5) ? 0 : !strncmp(word, "peer.", 5) ? 1 : -1;
        if (dir < 0) continue;
        const char* k = word + 5;
        struct noise* n = &noise[dir];
        if (!strcmp(k, "flip"))
            n->flip = atof(v);
        else if (!strcmp(k, "drop"))
            n->drop = atof(v);
        else if (!strcmp(k, "insert"))
            n->insert = atof(v);
        else if (!strcmp(k, "dup"))
            n->dup = atof(v);
        else if (!strcmp(k, "delay"))
            n->delay = atof(v);
        else if (!strcmp(k, "delayms"))
            n->delay_ms = atoi(v);
        else if (!strcmp(k, "cut"))
            n->cut = atoll(v);
        else if (!strcmp(k, "hangpid"))
            n->hangpid = atol(v);
    }
    fclose(f);
    rng = noise_seed * 0x9E3779B97F4A7C15ULL + 1;
    fprintf(stderr, "ptybridge: noise seed %llu\n", noise_seed);
    char ack[512];
    snprintf(ack, sizeof ack, "%s.ack", noise_path);
    FILE* a = fopen(ack, "w");
    if (a) {
        fprintf(a, "applied %llu\n", noise_seed);
        fclose(a);
    }
}

/* Passes n bytes from side `dir` through the noise into out (room for 2n). */
static size_t add_noise(int dir, const unsigned char* in, size_t n, unsigned char* out, int to) {
    struct noise* z = &noise[dir];
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        z->seen++;
        if (z->cut >= 0 && (long long)z->seen >= z->cut && !line_dead) {
            line_dead = 1;
            if (z->hangpid > 0) kill((pid_t)z->hangpid, SIGKILL);
        }
        if (line_dead) continue;
        unsigned char b = in[i];
        if (z->drop > 0 && rnd() < z->drop) continue;
        if (z->flip > 0 && rnd() < z->flip) b ^= (unsigned char)(1u << (int)(rnd() * 8));
        if (z->insert > 0 && rnd() < z->insert) out[k++] = (unsigned char)(rnd() * 256);
        out[k++] = b;
        if (z->dup > 0 && rnd() < z->dup) out[k++] = b;
        if (z->delay > 0 && rnd() < z->delay) hold_until[to] = now_seconds() + z->delay_ms / 1000.0;
    }
    return k;
}

static void die(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("ptybridge: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    exit(1);
}

static void make_raw(int fd, const char* what) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) die("tcgetattr %s: %s", what, strerror(errno));
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) die("tcsetattr %s: %s", what, strerror(errno));
}

static void open_side(struct side* s) {
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

static void write_info(const char* path, const struct side* port, const struct side* peer) {
    char tmp[4096];
    if (snprintf(tmp, sizeof tmp, "%s.tmp.%ld", path, (long)getpid()) >= (int)sizeof tmp)
        die("info file path too long");
    FILE* f = fopen(tmp, "w");
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

static size_t queue_room(const struct queue* q) { return QUEUE_SIZE - q->len; }

/* Reads what `from`'s master has into `to`'s queue, as far as there is room. */
static void pump_in(struct side* from, struct side* to) {
    if (to->out.len == 0 && line_free[to->index] < now_seconds())
        line_free[to->index] = now_seconds(); /* an idle line starts sending now */
    while (queue_room(&to->out) > 0) {
        size_t tail = (to->out.head + to->out.len) % QUEUE_SIZE;
        size_t chunk = QUEUE_SIZE - tail;
        if (chunk > queue_room(&to->out)) chunk = queue_room(&to->out);
        unsigned char raw[QUEUE_SIZE / 2];
        int noisy = noise_path != NULL;
        if (noisy) { /* room for every byte doubled */
            chunk = queue_room(&to->out) / 2;
            if (chunk > sizeof raw) chunk = sizeof raw;
            if (chunk == 0) return;
        }
        ssize_t n = read(from->master, noisy ? raw : to->out.data + tail, chunk);
        if (n > 0 && noisy) {
            unsigned char cooked[QUEUE_SIZE];
            size_t k = add_noise(from->index, raw, (size_t)n, cooked, to->index);
            for (size_t i = 0; i < k; i++) {
                to->out.data[(to->out.head + to->out.len) % QUEUE_SIZE] = cooked[i];
                to->out.len++;
            }
            from->bytes_in += (unsigned long long)n;
            continue;
        }
        if (n > 0) {
            to->out.len += (size_t)n;
            from->bytes_in += (unsigned long long)n;
            if (line_state) nm_add(&line_state->end[from->index].tx, (uint32_t)n);
            if (verbose)
                fprintf(stderr, "ptybridge: %s -> %s %zd bytes\n", from->name, to->name, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        /* EIO cannot happen while slave_keep is open; anything else is fatal. */
        die("read %s master: %s", from->name, n == 0 ? "end of file" : strerror(errno));
    }
}

/* Writes as much of `s`'s queue into its master as the pty accepts. */
static void pump_out(struct side* s) {
    if (hold_until[s->index] > now_seconds()) return;
    while (s->out.len > 0) {
        size_t chunk = QUEUE_SIZE - s->out.head;
        if (chunk > s->out.len) chunk = s->out.len;
        if (char_seconds > 0) { /* handed over once the line has carried the block */
            const double carried = line_free[s->index] + (double)chunk * char_seconds;
            if (now_seconds() < carried) {
                hold_until[s->index] = carried;
                return;
            }
        }
        ssize_t n = write(s->master, s->out.data + s->out.head, chunk);
        if (n > 0) {
            s->out.head = (s->out.head + (size_t)n) % QUEUE_SIZE;
            s->out.len -= (size_t)n;
            s->bytes_out += (unsigned long long)n;
            line_free[s->index] += (double)n * char_seconds;
            if (line_state) nm_add(&line_state->end[s->index].rx, (uint32_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        die("write %s master: %s", s->name, strerror(errno));
    }
}

static struct nm_state* map_state(const char* path, int create) {
    int fd = open(path, create ? O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) die("open %s: %s", path, strerror(errno));
    long page = sysconf(_SC_PAGESIZE);
    size_t size = sizeof(struct nm_state) > (size_t)page ? sizeof(struct nm_state) : (size_t)page;
    if (create && ftruncate(fd, (off_t)size) != 0) die("ftruncate %s: %s", path, strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t)st.st_size < sizeof(struct nm_state))
        die("%s is not a line state file", path);
    void* m = mmap(NULL, sizeof(struct nm_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) die("mmap %s: %s", path, strerror(errno));
    close(fd);
    return m;
}

/* Creates the line state of the two sides; published (magic) last. */
static struct nm_state* create_state(const char* path, const struct side* sides) {
    struct nm_state* s = map_state(path, 1);
    memset(s, 0, sizeof *s);
    s->version = NM_VERSION;
    for (int i = 0; i < 2; i++) {
        struct stat st;
        if (stat(sides[i].slave_path, &st) != 0)
            die("stat %s: %s", sides[i].slave_path, strerror(errno));
        s->rdev[i] = (uint64_t)st.st_rdev;
        snprintf(s->path[i], sizeof s->path[i], "%s", sides[i].slave_path);
    }
    __atomic_store_n(&s->magic, NM_MAGIC, __ATOMIC_SEQ_CST);
    if (msync(s, sizeof *s, MS_SYNC) != 0) die("msync %s: %s", path, strerror(errno));
    return s;
}

static int ctl_usage(void) {
    fprintf(stderr,
            "usage: ptybridge ctl STATEFILE set cts|dsr|dcd|ri|dtr|break|gone on|off\n"
            "       ptybridge ctl STATEFILE get dtr|rts|break|cts|dsr|dcd|ri\n"
            "       ptybridge ctl STATEFILE wait dtr|rts|break|cts|dsr|dcd|ri on|off SECONDS\n"
            "       ptybridge ctl STATEFILE inject frame|parity|overrun|break|buf_overrun N\n"
            "       ptybridge ctl STATEFILE show\n");
    return 2;
}

/* A line as the port end has it: its own outputs, or what it sees. -1: unknown name. */
static int port_line(const struct nm_state* s, const char* name) {
    uint32_t mine = nm_load(&s->end[0].out), other = nm_load(&s->end[1].out);
    if (!strcmp(name, "dtr")) return (mine & NM_DTR) != 0;
    if (!strcmp(name, "rts")) return (mine & NM_RTS) != 0;
    if (!strcmp(name, "break")) return (mine & NM_BREAK) != 0;
    if (!strcmp(name, "cts")) return (other & NM_RTS) != 0;
    if (!strcmp(name, "dsr")) return (other & NM_DSR_OUT) != 0;
    if (!strcmp(name, "dcd")) return (other & NM_DCD_OUT) != 0;
    if (!strcmp(name, "ri")) return (other & NM_RI_OUT) != 0;
    return -1;
}

static int on_off(const char* v) {
    if (!strcmp(v, "on") || !strcmp(v, "1")) return 1;
    if (!strcmp(v, "off") || !strcmp(v, "0")) return 0;
    return -1;
}

static int ctl_main(int argc, char** argv) {
    if (argc < 2) return ctl_usage();
    const char *path = argv[0], *cmd = argv[1];
    struct nm_state* s = map_state(path, 0);
    uint32_t magic = nm_load(&s->magic);
    if (magic != NM_MAGIC || s->version != NM_VERSION) {
        fprintf(stderr, "ptybridge ctl: %s: %s\n", path,
                magic == NM_DEAD ? "its bridge has exited" : "not a line state file");
        return 1;
    }
    if (!strcmp(cmd, "set") && argc == 4 && !strcmp(argv[2], "gone")) {
        int v = on_off(argv[3]);
        if (v < 0) return ctl_usage();
        nm_store(&NM_GONE(s), (uint32_t)v);
        return 0;
    }
    if (!strcmp(cmd, "set") && argc == 4) {
        int v = on_off(argv[3]);
        uint32_t bits;
        if (!strcmp(argv[2], "cts") || !strcmp(argv[2], "rts"))
            bits = NM_RTS;
        else if (!strcmp(argv[2], "dsr"))
            bits = NM_DSR_OUT;
        else if (!strcmp(argv[2], "dcd"))
            bits = NM_DCD_OUT;
        else if (!strcmp(argv[2], "ri"))
            bits = NM_RI_OUT;
        else if (!strcmp(argv[2], "dtr"))
            bits = NM_DTR | NM_DSR_OUT | NM_DCD_OUT;
        else if (!strcmp(argv[2], "break"))
            bits = NM_BREAK;
        else
            return ctl_usage();
        if (v < 0) return ctl_usage();
        nm_change_out(s, 1, v ? 0 : bits, v ? bits : 0);
        return 0;
    }
    if (!strcmp(cmd, "get") && argc == 3) {
        int v = port_line(s, argv[2]);
        if (v < 0) return ctl_usage();
        puts(v ? "on" : "off");
        return 0;
    }
    if (!strcmp(cmd, "wait") && argc == 5) {
        int want = on_off(argv[3]);
        double limit = atof(argv[4]);
        if (want < 0 || port_line(s, argv[2]) < 0 || limit <= 0) return ctl_usage();
        double deadline = now_seconds() + limit;
        for (;;) {
            if (port_line(s, argv[2]) == want) return 0;
            if (now_seconds() >= deadline) break;
            struct timespec ts = {0, 5 * 1000 * 1000};
            nanosleep(&ts, NULL);
        }
        fprintf(stderr, "ptybridge ctl: %s did not become %s within %s s\n", argv[2], argv[3],
                argv[4]);
        return 1;
    }
    if (!strcmp(cmd, "inject") && argc == 4) {
        char* endp;
        long n = strtol(argv[3], &endp, 10);
        if (*endp || n < 0) return ctl_usage();
        struct nm_end* e = &s->end[0];
        if (!strcmp(argv[2], "frame"))
            nm_add(&e->frame, (uint32_t)n);
        else if (!strcmp(argv[2], "parity"))
            nm_add(&e->parity, (uint32_t)n);
        else if (!strcmp(argv[2], "overrun"))
            nm_add(&e->overrun, (uint32_t)n);
        else if (!strcmp(argv[2], "break"))
            nm_add(&e->brk, (uint32_t)n);
        else if (!strcmp(argv[2], "buf_overrun"))
            nm_add(&e->buf_overrun, (uint32_t)n);
        else
            return ctl_usage();
        return 0;
    }
    if (!strcmp(cmd, "show") && argc == 2) {
        for (int i = 0; i < 2; i++) {
            const struct nm_end* e = &s->end[i];
            uint32_t o = nm_load(&e->out);
            printf(
                "%s %s: out%s%s%s%s%s%s cts=%u dsr=%u rng=%u dcd=%u rx=%u tx=%u frame=%u "
                "parity=%u overrun=%u brk=%u buf_overrun=%u\n",
                i ? "peer" : "port", s->path[i], o & NM_DTR ? " dtr" : "", o & NM_RTS ? " rts" : "",
                o & NM_DSR_OUT ? " dsr" : "", o & NM_DCD_OUT ? " dcd" : "",
                o & NM_RI_OUT ? " ri" : "", o & NM_BREAK ? " break" : "", nm_load(&e->cts),
                nm_load(&e->dsr), nm_load(&e->rng), nm_load(&e->dcd), nm_load(&e->rx),
                nm_load(&e->tx), nm_load(&e->frame), nm_load(&e->parity), nm_load(&e->overrun),
                nm_load(&e->brk), nm_load(&e->buf_overrun));
        }
        return 0;
    }
    return ctl_usage();
}

int main(int argc, char** argv) {
    if (argc >= 2 && !strcmp(argv[1], "ctl")) return ctl_main(argc - 2, argv + 2);
    const char *info = NULL, *state_path = NULL;
    double limit = 0;
    struct side sides[2];
    memset(sides, 0, sizeof sides);
    sides[0].name = "port";
    sides[1].name = "peer";
    sides[1].index = 1;

    int opt;
    while ((opt = getopt(argc, argv, "o:m:t:l:L:n:b:v")) != -1) {
        switch (opt) {
        case 'o': info = optarg; break;
        case 'm': state_path = optarg; break;
        case 't': limit = atof(optarg); break;
        case 'l': sides[0].link = optarg; break;
        case 'L': sides[1].link = optarg; break;
        case 'n': noise_path = optarg; break;
        case 'b': char_seconds = atof(optarg) > 0 ? 10.0 / atof(optarg) : 0; break;
        case 'v': verbose = 1; break;
        default:
            fprintf(stderr,
                    "usage: ptybridge [-o INFOFILE] [-m STATEFILE] [-t SECONDS] [-l PORTLINK] [-L "
                    "PEERLINK] [-v]\n"
                    "       ptybridge ctl STATEFILE COMMAND...\n");
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
    sa.sa_handler = on_reload;
    sigaction(SIGUSR1, &sa, NULL);
    if (noise_path) load_noise();

    open_side(&sides[0]);
    open_side(&sides[1]);
    if (state_path) line_state = create_state(state_path, sides);
    if (info) write_info(info, &sides[0], &sides[1]);
    printf("PORT=%s\nPEER=%s\n", sides[0].slave_path, sides[1].slave_path);
    fflush(stdout);

    double deadline = limit > 0 ? now_seconds() + limit : 0;
    int status = 0;
    while (!stop_signal) {
        if (reload_noise) {
            reload_noise = 0;
            load_noise();
        }
        struct pollfd pfd[2];
        for (int i = 0; i < 2; i++) {
            struct side *me = &sides[i], *other = &sides[1 - i];
            pfd[i].fd = me->master;
            pfd[i].events = 0;
            if (queue_room(&other->out) > 0) pfd[i].events |= POLLIN;
            if (me->out.len > 0 && hold_until[i] <= now_seconds()) pfd[i].events |= POLLOUT;
            pfd[i].revents = 0;
        }
        int timeout = -1;
        if (deadline > 0) {
            double left = deadline - now_seconds();
            if (left <= 0) {
                status = 3;
                break;
            }
            timeout = (int)(left * 1000) + 1;
        }
        for (int i = 0; i < 2; i++) { /* a held direction is looked at again when it is free */
            double held = hold_until[i] - now_seconds();
            if (sides[i].out.len > 0 && held > 0 && (timeout < 0 || held * 1000 + 1 < timeout))
                timeout = (int)(held * 1000) + 1;
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
    if (line_state) __atomic_store_n(&line_state->magic, NM_DEAD, __ATOMIC_SEQ_CST);
    fprintf(stderr, "ptybridge: %s, port->peer %llu bytes, peer->port %llu bytes\n",
            status == 3 ? "time limit reached" : "stopped", sides[0].bytes_in, sides[1].bytes_in);
    return status;
}
