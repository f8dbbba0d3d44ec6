/*
 * nmshim.so: modem lines, break and line-error counters for pty slaves, for
 * programs (Wine) that talk to a serial port through libc's ioctl().
 *
 * A pty has no modem lines: TIOCMGET fails, so Wine's EscapeCommFunction,
 * GetCommModemStatus and WaitCommEvent on line events fail or are cancelled,
 * and break and error counters never move. This shim, preloaded into the Wine
 * process, answers these ioctls itself for the pty slaves of running
 * `ptybridge -m STATEFILE` bridges, from the state the bridge shares through
 * STATEFILE (see nullmodem.h for the crossed wiring):
 *   TIOCMGET TIOCMSET TIOCMBIS TIOCMBIC   DTR/RTS out, CTS/DSR/DCD/RI in
 *   TIOCSBRK TIOCCBRK                     break on/off (counted at the far end)
 *   TIOCGICOUNT                           rx/tx, frame/parity/overrun/brk,
 *                                         cts/dsr/rng/dcd change counters
 *   TIOCSERGETLSR                         TIOCSER_TEMT when the output queue is empty
 * Every other request, and these requests on any other descriptor, go to the
 * real ioctl() unchanged. A descriptor is emulated only when it is a character
 * device whose device number is one recorded in a listed state file of a
 * bridge that is still running.
 *
 * Use (tests/integration/lib.sh wraps it: start_nullmodem, nm_wine, nmctl):
 *   ptybridge -o INFO -m STATE &                 # bridge with shared line state
 *   LD_PRELOAD=/path/nmshim.so QLR_NULLMODEM=STATE[:STATE2...] wine prog.exe
 *   ptybridge ctl STATE set cts on               # peer drives CTS of the port
 *   ptybridge ctl STATE get dtr                  # prints on/off: the port's DTR
 *   ptybridge ctl STATE inject frame 1           # one framing error at the port
 * QLR_NULLMODEM_LOG=FILE appends one line per emulated call to FILE, which
 * shows that the program really reached the shim.
 * Build: cc -shared -fPIC -O2 -Wall -Wextra -Werror -o nmshim.so nmshim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "nullmodem.h"

#define MAX_STATES 8

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
static struct nm_state* states[MAX_STATES];
static int nstates;
static int log_fd = -1;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void init(void) {
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    const char* logp = getenv("QLR_NULLMODEM_LOG");
    if (logp && *logp) log_fd = open(logp, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const char* list = getenv("QLR_NULLMODEM");
    if (!list) return;
    char buf[4096];
    snprintf(buf, sizeof buf, "%s", list);
    char* save = NULL;
    for (char* p = strtok_r(buf, ":", &save); p && nstates < MAX_STATES;
         p = strtok_r(NULL, ":", &save)) {
        int fd = open(p, O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        void* m = mmap(NULL, sizeof(struct nm_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (m == MAP_FAILED) continue;
        struct nm_state* s = m;
        if (s->version != NM_VERSION) {
            munmap(m, sizeof(struct nm_state));
            continue;
        }
        states[nstates++] = s;
    }
}

static void logf_(const char* fmt, ...) {
    if (log_fd < 0) return;
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n > 0) {
        if (n > (int)sizeof line - 1) n = (int)sizeof line - 1;
        ssize_t w = write(log_fd, line, (size_t)n);
        (void)w;
    }
}

/* The state and end that `fd` belongs to, or NULL. */
static struct nm_state* lookup(int fd, int* end) {
    if (nstates == 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return NULL;
    for (int k = 0; k < nstates; k++) {
        struct nm_state* s = states[k];
        if (nm_load(&s->magic) != NM_MAGIC) continue;
        for (int i = 0; i < 2; i++) {
            if (s->rdev[i] == (uint64_t)st.st_rdev) {
                *end = i;
                return s;
            }
        }
    }
    return NULL;
}

static int modem_bits(struct nm_state* s, int i) {
    uint32_t mine = nm_load(&s->end[i].out), other = nm_load(&s->end[1 - i].out);
    int v = 0;
    if (mine & NM_DTR) v |= TIOCM_DTR;
    if (mine & NM_RTS) v |= TIOCM_RTS;
    if (other & NM_RTS) v |= TIOCM_CTS;
    if (other & NM_DSR_OUT) v |= TIOCM_DSR;
    if (other & NM_DCD_OUT) v |= TIOCM_CAR;
    if (other & NM_RI_OUT) v |= TIOCM_RNG;
    return v;
}

/* Output bits selected by the TIOCM_DTR/TIOCM_RTS bits of `v`. */
static uint32_t out_bits(int v) {
    uint32_t o = 0;
    if (v & TIOCM_DTR) o |= NM_DTR | NM_DSR_OUT | NM_DCD_OUT;
    if (v & TIOCM_RTS) o |= NM_RTS;
    return o;
}

static int emulate(struct nm_state* s, int i, int fd, unsigned long req, void* arg, int* result) {
    struct nm_end* e = &s->end[i];
    switch (req) {
    case TIOCMGET:
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        *(int*)arg = modem_bits(s, i);
        logf_("TIOCMGET end %d -> 0x%03x\n", i, *(int*)arg);
        break;
    case TIOCMSET:
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        nm_change_out(s, i, NM_DTR | NM_DSR_OUT | NM_DCD_OUT | NM_RTS, out_bits(*(int*)arg));
        logf_("TIOCMSET end %d 0x%03x\n", i, *(int*)arg);
        break;
    case TIOCMBIS:
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        nm_change_out(s, i, 0, out_bits(*(int*)arg));
        logf_("TIOCMBIS end %d 0x%03x\n", i, *(int*)arg);
        break;
    case TIOCMBIC:
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        nm_change_out(s, i, out_bits(*(int*)arg), 0);
        logf_("TIOCMBIC end %d 0x%03x\n", i, *(int*)arg);
        break;
    case TIOCSBRK:
        nm_change_out(s, i, 0, NM_BREAK);
        logf_("TIOCSBRK end %d\n", i);
        break;
    case TIOCCBRK:
        nm_change_out(s, i, NM_BREAK, 0);
        logf_("TIOCCBRK end %d\n", i);
        break;
    case TIOCGICOUNT: {
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        struct serial_icounter_struct* c = arg;
        memset(c, 0, sizeof *c);
        c->cts = (int)nm_load(&e->cts);
        c->dsr = (int)nm_load(&e->dsr);
        c->rng = (int)nm_load(&e->rng);
        c->dcd = (int)nm_load(&e->dcd);
        c->rx = (int)nm_load(&e->rx);
        c->tx = (int)nm_load(&e->tx);
        c->frame = (int)nm_load(&e->frame);
        c->overrun = (int)nm_load(&e->overrun);
        c->parity = (int)nm_load(&e->parity);
        c->brk = (int)nm_load(&e->brk);
        c->buf_overrun = (int)nm_load(&e->buf_overrun);
        logf_("TIOCGICOUNT end %d frame %d parity %d overrun %d brk %d\n", i, c->frame, c->parity,
              c->overrun, c->brk);
        break;
    }
    case TIOCSERGETLSR: {
        if (!arg) {
            errno = EFAULT;
            *result = -1;
            return 1;
        }
        int outq = 0;
        if (real_ioctl(fd, TIOCOUTQ, &outq) != 0) outq = 0;
        *(unsigned int*)arg = outq == 0 ? TIOCSER_TEMT : 0;
        break;
    }
    default: return 0;
    }
    *result = 0;
    return 1;
}

/* True when some cable's port end is unplugged (cheap: no fstat). */
static int any_gone(void) {
    for (int k = 0; k < nstates; k++)
        if (nm_load(&states[k]->magic) == NM_MAGIC && nm_load(&NM_GONE(states[k]))) return 1;
    return 0;
}

/* True, with errno EIO, when fd is the port slave of an unplugged cable. */
static int unplugged(int fd) {
    if (!any_gone()) return 0;
    int end, saved = errno;
    struct nm_state* s = lookup(fd, &end);
    errno = saved;
    if (!s || end != 0 || !nm_load(&NM_GONE(s))) return 0;
    errno = EIO;
    return 1;
}

typedef ssize_t (*read_fn)(int, void*, size_t);
static read_fn real_read;

ssize_t read(int fd, void* buf, size_t count) {
    if (!real_read) real_read = (read_fn)dlsym(RTLD_NEXT, "read");
    pthread_once(&once, init);
    if (unplugged(fd)) {
        logf_("read on an unplugged port\n");
        return -1;
    }
    return real_read(fd, buf, count);
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    pthread_once(&once, init);
    if (!real_ioctl) {
        errno = ENOSYS;
        return -1;
    }
    if (unplugged(fd)) return -1;
    switch (req) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCSBRK:
    case TIOCCBRK:
    case TIOCGICOUNT:
    case TIOCSERGETLSR: {
        int end, result, saved = errno;
        struct nm_state* s = lookup(fd, &end);
        errno = saved;
        if (s && emulate(s, end, fd, req, arg, &result)) return result;
        break;
    }
    default: break;
    }
    return real_ioctl(fd, req, arg);
}
