// GuardedMemory.h - memory accesses that survive a fault.
//
// An INtime segment can vanish while it is mapped (its real-time process
// ended, the kernel stopped): a plain read of it would end the HMI program.
// Accesses made through this class instead report such a fault as a failed
// access. Any exception raised by the guarded access counts: under emulation
// a read of an unmapped page can arrive as another exception than an access
// violation.
//
// How: the copy is a routine of a few instructions, and a vectored
// exception handler, installed while the bridge is loaded, sends a thread
// that faults at one of them to the routine's failure return. Nothing is
// recorded per access and no registers are saved for it, so an access that
// does not fault costs what a plain copy does; threads need no agreement.
#pragma once

#include <cstddef>
#include <cstdint>

// The guarded routine itself (GuardedMemory.cpp): returns an Outcome.
extern "C" int GuardedProbeCopy(const void* probe, void* dest, const void* src, size_t size);

class GuardedMemory {
public:
    // Installs the handler; harmless when installed. true when accesses are
    // guarded from now on.
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
    static Outcome ProbeThenCopy(const void* probe, void* dest, const void* src, size_t size)
    {
        return static_cast<Outcome>(GuardedProbeCopy(probe, dest, src, size));
    }
};
