// GuardedMemory.h - memory accesses that survive a fault.
//
// An INtime segment can vanish while it is mapped (its real-time process
// ended, the kernel stopped): a plain read of it would end the HMI program.
// Accesses made through this class instead report such a fault as a failed
// access. Any exception raised by the guarded access counts: under emulation
// a read of an unmapped page can arrive as another exception than an access
// violation.
//
// How: a vectored exception handler, installed while the bridge is loaded,
// sends the thread that faults inside a guarded access to a trampoline that
// jumps back to the start of that access (the jump buffer and the thread are
// recorded only while the access runs). No system call lies on the path of
// an access that does not fault. The bridge's callers make one call at a
// time: one guarded access runs at a time.
#pragma once

#include <cstddef>
#include <cstdint>

class GuardedMemory {
public:
    // Installs the handler; harmless when installed. true
    // when accesses are guarded from now on.
    static bool Install();
    // Removes the handler (before the code that holds it is unloaded).
    static void Uninstall();

    // Copies size bytes from src to dest. false when the copy raised an
    // exception (dest may then hold part of the bytes). Without an installed
    // guard the copy is made unguarded.
    static bool Copy(void* dest, const void* src, size_t size);

    // What ProbeThenCopy ran into.
    enum Outcome { DONE, PROBE_FAULTED, COPY_FAULTED };
    // Reads the 32-bit word at probe (unless it is null), then copies size
    // bytes from src to dest, under one guard: the two steps of a typed
    // access to a segment that may vanish, at the cost of one.
    static Outcome ProbeThenCopy(const void* probe, void* dest, const void* src, size_t size);
};
