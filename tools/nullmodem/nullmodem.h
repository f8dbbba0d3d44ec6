/*
 * Shared line state of the virtual null-modem cable (tools/ptybridge.c with
 * -m STATEFILE) and of the LD_PRELOAD shim (tools/nullmodem/nmshim.c).
 *
 * The bridge creates STATEFILE (one page, mmap'ed MAP_SHARED by the bridge, by
 * `ptybridge ctl` and by every shimmed process) and records the device numbers
 * of its two pty slaves in it: end 0 is the "port" slave, end 1 the "peer"
 * slave. Every field is a 32-bit word changed with atomic operations only, so
 * no lock is needed between the processes.
 *
 * Wiring (crossed, as in a null-modem cable): what end i sees is driven by the
 * outputs of the other end:
 *   CTS <- other end's RTS      DSR <- other end's DSR output
 *   DCD <- other end's DCD out  RI  <- other end's RI output
 * Raising or dropping DTR (TIOCMSET/TIOCMBIS/TIOCMBIC on a shimmed slave) sets
 * that end's DTR, DSR output and DCD output together, so DTR drives the far
 * end's DSR and DCD. `ptybridge ctl` plays the peer end and can drive its DSR,
 * DCD and RI outputs one by one. Break (TIOCSBRK) raises BREAK on one end and
 * counts a break at the other end. The counters are those of TIOCGICOUNT.
 * `ptybridge ctl STATEFILE set gone on` pulls the port end out, as an unplugged
 * USB adapter: from then on every ioctl and read on the port slave fails with
 * EIO (in shimmed processes) until `set gone off` plugs it in again.
 */
#ifndef QLR_NULLMODEM_H
#define QLR_NULLMODEM_H

#include <stdint.h>

#define NM_MAGIC 0x514c4e4du /* "QLNM" */
#define NM_DEAD 0x64656164u  /* written by the bridge when it exits */
#define NM_VERSION 1u
#define NM_PATH_MAX 128

/* Output bits of one end (struct nm_end.out). */
#define NM_DTR 0x01u
#define NM_RTS 0x02u
#define NM_DSR_OUT 0x04u
#define NM_DCD_OUT 0x08u
#define NM_RI_OUT 0x10u
#define NM_BREAK 0x20u

struct nm_end {
    uint32_t out; /* NM_* bits driven by this end */
    /* Counters as reported to this end by TIOCGICOUNT. */
    uint32_t cts, dsr, rng, dcd; /* changes of the lines this end sees */
    uint32_t rx, tx;             /* bytes into / out of this end's slave (kept by the bridge) */
    uint32_t frame, overrun, parity, brk, buf_overrun;
    uint32_t reserved[4];
};

struct nm_state {
    uint32_t magic; /* NM_MAGIC while the bridge runs */
    uint32_t version;
    uint64_t rdev[2]; /* st_rdev of the port slave and the peer slave */
    char path[2][NM_PATH_MAX];
    struct nm_end end[2];
};

/* The port end's "device gone" word (1 while unplugged). */
#define NM_GONE(s) ((s)->end[0].reserved[0])

static inline uint32_t nm_load(const uint32_t* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
static inline void nm_store(uint32_t* p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_SEQ_CST); }
static inline void nm_add(uint32_t* p, uint32_t n) { __atomic_add_fetch(p, n, __ATOMIC_SEQ_CST); }

/* Changes end `i`'s outputs: clears `clr`, then sets `set`; counts the
 * resulting line changes at the other end. Returns the new output bits. */
static inline uint32_t nm_change_out(struct nm_state* s, int i, uint32_t clr, uint32_t set) {
    uint32_t old = nm_load(&s->end[i].out), new_;
    do {
        new_ = (old & ~clr) | set;
    } while (!__atomic_compare_exchange_n(&s->end[i].out, &old, new_, 0, __ATOMIC_SEQ_CST,
                                          __ATOMIC_SEQ_CST));
    struct nm_end* o = &s->end[1 - i];
    uint32_t diff = old ^ new_;
    if (diff & NM_RTS) nm_add(&o->cts, 1);
    if (diff & NM_DSR_OUT) nm_add(&o->dsr, 1);
    if (diff & NM_DCD_OUT) nm_add(&o->dcd, 1);
    if (diff & NM_RI_OUT) nm_add(&o->rng, 1);
    if ((diff & NM_BREAK) && (new_ & NM_BREAK)) nm_add(&o->brk, 1);
    return new_;
}

#endif
