/* Preloaded into 32-bit Wine when it runs under user-mode QEMU (a kernel without 32-bit
 * support). QEMU 7.2 takes MAP_FIXED_NOREPLACE as a mere hint, and Wine, which reserves its
 * address space with that flag, then splits every reservation it did not get into 64 KiB
 * tries: a minute of start-up for each process. This mmap gives the flag its meaning: the
 * address asked for or EEXIST. Built with -ffreestanding -nostdlib; system calls directly. */
#define MAP_FIXED_NOREPLACE_ 0x100000
#define EEXIST_ 17
#define SYS_OLD_MMAP 90 /* one argument: a block of the six */
#define SYS_MUNMAP 91

extern int *__errno_location(void);

static long syscall1(long nr, long a) {
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a) : "memory");
    return r;
}

static long syscall2(long nr, long a, long b) {
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b) : "memory");
    return r;
}

void *mmap64(void *addr, unsigned long len, int prot, int flags, int fd, long long offset) {
    unsigned long args[6] = {(unsigned long)addr, len, (unsigned long)prot, (unsigned long)flags, (unsigned long)fd,
                             (unsigned long)offset};
    long r = syscall1(SYS_OLD_MMAP, (long)args);
    if ((unsigned long)r > -4096UL) {
        *__errno_location() = (int)-r;
        return (void *)-1;
    }
    if ((flags & MAP_FIXED_NOREPLACE_) && (void *)r != addr) {
        syscall2(SYS_MUNMAP, r, (long)len);
        *__errno_location() = EEXIST_;
        return (void *)-1;
    }
    return (void *)r;
}

void *mmap(void *addr, unsigned long len, int prot, int flags, int fd, long offset) {
    return mmap64(addr, len, prot, flags, fd, (long long)(unsigned long)offset);
}
