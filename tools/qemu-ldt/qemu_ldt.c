/*
 * Per-thread segment descriptors for 32-bit Wine under qemu-user.
 *
 * qemu-i386 (user mode) keeps one emulated GDT for all threads of a process,
 * so the thread-local descriptor that set_thread_area installs for one thread
 * is the one every thread gets when it next loads that selector. glibc keeps
 * its thread storage behind %gs and Wine its thread block behind %fs, and
 * Wine reloads both on signals, exceptions and thread start: a thread would
 * then run on another thread's data. The LDT is process-wide on Linux too,
 * and qemu emulates it faithfully. Preloaded into the 32-bit Wine loader,
 * this library therefore
 *  - gives every thread's %gs a descriptor of its own in the LDT: the main
 *    thread's when the library loads, each new thread's in a wrapper around
 *    pthread_create;
 *  - refuses Wine's request for a free GDT entry (set_thread_area with entry
 *    -1), so that Wine gives each thread an LDT selector of its own for %fs.
 *
 * Built for x86_64 the library is empty: one LD_PRELOAD value using ld.so's
 * $LIB then serves the 32-bit and the 64-bit loader alike.
 *
 * It is built with -nostdlib against the installed 32-bit libc, so it
 * declares the little it uses from libc and the kernel itself.
 */
#if defined(__i386__)

#include <stdarg.h> /* the compiler's own header, not libc's */

typedef unsigned int u32;

extern void *dlsym(void *handle, const char *name);
extern int *__errno_location(void);
extern void *malloc(u32 size);
extern void free(void *block);

#define RTLD_NEXT ((void *)-1L)

/* i386 Linux system call numbers. */
enum {
    SYS_GETPID = 20,
    SYS_MODIFY_LDT = 123,
    SYS_SCHED_YIELD = 158,
    SYS_RT_SIGPROCMASK = 175,
    SYS_GETTID = 224,
    SYS_SET_THREAD_AREA = 243,
    SYS_TGKILL = 270,
};

enum { ERR_ESRCH = 3, ERR_EAGAIN = 11 };

enum {
    SIG_BLOCK_HOW = 0,
    SIG_SETMASK_HOW = 2,
    SIGSET_WORDS = 2, /* the kernel's 64-signal mask */
};

/* modify_ldt function 0x11: write one entry (current format). */
enum { LDT_WRITE = 0x11 };

/* set_thread_area's entry number meaning "pick a free GDT entry". */
#define ENTRY_ANY 0xffffffffu

/* A selector is index << 3 | table indicator (4 = LDT) | privilege 3. */
enum { SELECTOR_INDEX_SHIFT = 3, SELECTOR_LDT = 4, SELECTOR_USER = 3 };

/* 4 GiB data segment: 0xfffff units of 4 KiB pages. */
enum { LIMIT_4GIB_IN_PAGES = 0xfffff };

/* LDT entries used for %gs, one per live thread. Wine keeps the entries
 * below 512 free for libc when it finds %gs in the LDT, and takes its own
 * %fs entries from 512 on. Entry 0 stays unused. */
enum { FIRST_SLOT = 1, SLOT_LIMIT = 512 };

/* slot_owner values besides a thread id. */
enum { SLOT_FREE = 0, SLOT_STARTING = -1 };

/* The kernel's struct user_desc for modify_ldt and set_thread_area. */
struct user_desc {
    u32 entry_number;
    u32 base_addr;
    u32 limit;
    u32 seg_32bit : 1;
    u32 contents : 2;
    u32 read_exec_only : 1;
    u32 limit_in_pages : 1;
    u32 seg_not_present : 1;
    u32 useable : 1;
};

typedef int (*pthread_create_fn)(void *thread, const void *attr,
                                 void *(*start)(void *), void *arg);
typedef long (*syscall_fn)(long number, ...);

/* What a new thread needs before it runs the caller's start routine. */
struct start_info {
    void *(*start)(void *);
    void *arg;
    int slot;                       /* its LDT entry, reserved by the creator */
    u32 caller_mask[SIGSET_WORDS];  /* the signal mask to run with */
};

static pthread_create_fn real_pthread_create;
static syscall_fn real_syscall;
static unsigned short shared_gs;   /* glibc's GDT selector for %gs */
static int active;                 /* the main thread runs on its own entry */
static int table_lock;
/* Thread id that owns each LDT entry, or SLOT_FREE / SLOT_STARTING. */
static volatile int slot_owner[SLOT_LIMIT];

/* Makes a system call with up to four arguments; returns -errno on failure. */
static long raw_syscall(long number, long a1, long a2, long a3, long a4)
{
    long result;
    __asm__ volatile("int $0x80"
                     : "=a"(result)
                     : "0"(number), "b"(a1), "c"(a2), "d"(a3), "S"(a4)
                     : "memory");
    return result;
}

/* The selector currently in %gs. */
static unsigned short read_gs(void)
{
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

/* Loads %gs, which re-reads the descriptor the selector names. */
static void load_gs(unsigned short selector)
{
    __asm__ volatile("movw %0, %%gs" : : "r"(selector) : "memory");
}

/* This thread's storage address: glibc's thread block starts with a
 * pointer to itself, and the block is where %gs points. */
static u32 thread_pointer(void)
{
    u32 self;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(self));
    return self;
}

/* The LDT selector of an entry. */
static unsigned short ldt_selector(int slot)
{
    return (unsigned short)(slot << SELECTOR_INDEX_SHIFT | SELECTOR_LDT | SELECTOR_USER);
}

/* The LDT entry %gs names, or 0 when %gs is a GDT selector. */
static int current_slot(void)
{
    unsigned short selector = read_gs();
    return (selector & SELECTOR_LDT) ? selector >> SELECTOR_INDEX_SHIFT : 0;
}

/* A 4 GiB 32-bit data descriptor at base, as glibc makes for %gs. */
static struct user_desc data_descriptor(u32 entry, u32 base)
{
    struct user_desc desc = {0};
    desc.entry_number = entry;
    desc.base_addr = base;
    desc.limit = LIMIT_4GIB_IN_PAGES;
    desc.seg_32bit = 1;
    desc.limit_in_pages = 1;
    desc.useable = 1;
    return desc;
}

/* Points LDT entry slot at base and loads %gs with it; 0 on success. */
static long use_ldt_gs(int slot, u32 base)
{
    struct user_desc desc = data_descriptor((u32)slot, base);
    long result = raw_syscall(SYS_MODIFY_LDT, LDT_WRITE, (long)&desc, sizeof desc, 0);
    if (result == 0)
        load_gs(ldt_selector(slot));
    return result;
}

/* Points the shared GDT entry at base and loads %gs with it; 0 on success.
 * Only under the table lock: a thread that loads the shared selector must
 * get its own base, so nobody else may rewrite the entry meanwhile. */
static long use_shared_gs(u32 base)
{
    struct user_desc desc = data_descriptor(shared_gs >> SELECTOR_INDEX_SHIFT, base);
    long result = raw_syscall(SYS_SET_THREAD_AREA, (long)&desc, 0, 0, 0);
    if (result == 0)
        load_gs(shared_gs);
    return result;
}

/* Blocks every signal; stores the previous mask in old_mask. */
static void block_signals(u32 old_mask[SIGSET_WORDS])
{
    u32 all[SIGSET_WORDS] = {~0u, ~0u};
    raw_syscall(SYS_RT_SIGPROCMASK, SIG_BLOCK_HOW, (long)all, (long)old_mask,
                sizeof all);
}

/* Sets the signal mask back to mask. */
static void restore_signals(const u32 mask[SIGSET_WORDS])
{
    raw_syscall(SYS_RT_SIGPROCMASK, SIG_SETMASK_HOW, (long)mask, 0,
                SIGSET_WORDS * sizeof(u32));
}

/* Takes the lock over slot_owner and the shared GDT entry. Signals must be
 * blocked, so that no handler on this thread can wait for it. */
static void lock_table(void)
{
    while (__atomic_exchange_n(&table_lock, 1, __ATOMIC_ACQUIRE))
        raw_syscall(SYS_SCHED_YIELD, 0, 0, 0, 0);
}

/* Releases the lock taken by lock_table. */
static void unlock_table(void)
{
    __atomic_store_n(&table_lock, 0, __ATOMIC_RELEASE);
}

/* Frees the entries of threads that have ended (the kernel no longer knows
 * their ids in this process). The caller's own entry is stamped with its
 * current id first: a forked child's thread has a new id. Lock held. */
static void reclaim_ended_slots(void)
{
    long pid = raw_syscall(SYS_GETPID, 0, 0, 0, 0);
    int own = current_slot();
    if (own)
        slot_owner[own] = (int)raw_syscall(SYS_GETTID, 0, 0, 0, 0);
    for (int slot = FIRST_SLOT; slot < SLOT_LIMIT; ++slot) {
        int owner = slot_owner[slot];
        if (slot != own && owner > 0 &&
            raw_syscall(SYS_TGKILL, pid, owner, 0, 0) == -ERR_ESRCH)
            slot_owner[slot] = SLOT_FREE;
    }
}

/* Reserves a free LDT entry for a thread about to start. Lock held.
 * Returns the entry, or 0 when every entry belongs to a live thread. */
static int reserve_slot(void)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (int slot = FIRST_SLOT; slot < SLOT_LIMIT; ++slot) {
            if (slot_owner[slot] == SLOT_FREE) {
                slot_owner[slot] = SLOT_STARTING;
                return slot;
            }
        }
        reclaim_ended_slots();
    }
    return 0;
}

/* First code of every thread created through the wrapper: it starts on the
 * shared GDT selector with all signals blocked, moves %gs to its reserved
 * LDT entry, then runs the caller's start routine with the caller's mask.
 * It keeps %ebp a frame pointer: when a Wine thread exits, the unwinder
 * takes the %ebp that Wine's thread start saved for a return address and
 * reads the code there; any other value in %ebp (a thread id, say) makes
 * that read fault, and Wine then runs its thread exit a second time,
 * closing file descriptors that other threads have been given since. */
__attribute__((optimize("no-omit-frame-pointer")))
static void *thread_start(void *param)
{
    struct start_info info = *(struct start_info *)param;
    long tid = raw_syscall(SYS_GETTID, 0, 0, 0, 0);
    if (use_ldt_gs(info.slot, thread_pointer()) == 0)
        __atomic_store_n(&slot_owner[info.slot], (int)tid, __ATOMIC_RELEASE);
    else
        __atomic_store_n(&slot_owner[info.slot], SLOT_FREE, __ATOMIC_RELEASE);
    free(param);
    restore_signals(info.caller_mask);
    return info.start(info.arg);
}

/* pthread_create for the preloaded process: glibc names the new thread's
 * GDT entry after the caller's %gs, and qemu loads the new thread's %gs from
 * the caller's selector, so the real call runs on the shared selector
 * (pointed at the caller's own storage), under the lock, with signals
 * blocked. The new thread inherits the blocked mask until it has its own
 * LDT entry. Returns what pthread_create returns; EAGAIN when no LDT entry
 * is free. */
int pthread_create(void *thread, const void *attr, void *(*start)(void *), void *arg)
{
    if (!real_pthread_create)
        real_pthread_create = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (!active)
        return real_pthread_create(thread, attr, start, arg);

    /* Once the new thread runs, info is its own: it frees it. */
    struct start_info *info = malloc(sizeof *info);
    if (!info)
        return ERR_EAGAIN;
    u32 caller_mask[SIGSET_WORDS];
    block_signals(caller_mask);
    info->start = start;
    info->arg = arg;
    info->caller_mask[0] = caller_mask[0];
    info->caller_mask[1] = caller_mask[1];

    lock_table();
    int result = ERR_EAGAIN;
    int slot = reserve_slot();
    unsigned short own_gs = read_gs();
    if (slot && use_shared_gs(thread_pointer()) == 0) {
        info->slot = slot;
        result = real_pthread_create(thread, attr, thread_start, info);
        load_gs(own_gs);
    }
    if (slot && result != 0)
        slot_owner[slot] = SLOT_FREE;
    unlock_table();
    restore_signals(caller_mask);
    if (result != 0)
        free(info);
    return result;
}

/* syscall() for the preloaded process: Wine asks set_thread_area for a free
 * GDT entry for %fs once, at start; that request fails here as when no entry
 * is free (ESRCH), so Wine uses LDT entries of its own per thread. Every
 * other call goes to libc. */
long syscall(long number, ...)
{
    enum { MAX_ARGS = 6 };
    long args[MAX_ARGS];
    va_list list;
    va_start(list, number);
    for (int i = 0; i < MAX_ARGS; ++i)
        args[i] = va_arg(list, long);
    va_end(list);

    if (number == SYS_SET_THREAD_AREA && active && args[0] &&
        ((struct user_desc *)args[0])->entry_number == ENTRY_ANY) {
        *__errno_location() = ERR_ESRCH;
        return -1;
    }
    if (!real_syscall)
        real_syscall = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    return real_syscall(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

/* At load, before the program starts any thread: moves the main thread's
 * %gs to LDT entry FIRST_SLOT. Leaves the library inactive (every call
 * passed through) when %gs is not glibc's GDT selector or the LDT cannot
 * be written. */
__attribute__((constructor)) static void move_main_thread(void)
{
    real_pthread_create = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    real_syscall = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    shared_gs = read_gs();
    if (!real_pthread_create || !real_syscall || shared_gs == 0 || (shared_gs & SELECTOR_LDT))
        return;
    if (use_ldt_gs(FIRST_SLOT, thread_pointer()) != 0)
        return;
    slot_owner[FIRST_SLOT] = (int)raw_syscall(SYS_GETTID, 0, 0, 0, 0);
    active = 1;
}

#endif /* __i386__ */
