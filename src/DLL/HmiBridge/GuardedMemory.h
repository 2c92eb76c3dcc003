// GuardedMemory.h - copies to and from a memory segment that may vanish.
//
// An INtime segment can vanish while it is mapped (its real-time process
// ended, the kernel stopped): a plain copy from it would end the HMI
// program. A copy made here instead reports a fault on the segment's side as
// a failed copy. A fault on the other side (the caller's buffer) is the
// caller's, as with any C API given a bad pointer: it goes on to the
// program's own handlers, the copy goes on if one of them mends the page and
// continues, and the process ends if none does.
//
// How: each copy is a routine of a few instructions whose faulting
// instructions are known, one routine for each direction, so that the
// faulting instruction alone tells which operand is the segment. A vectored
// exception handler, installed while the bridge is loaded, asks the system
// whether the segment's bytes of that instruction are still accessible: if
// not, it sends the thread to the routine's failure return. Under emulated
// 32-bit Wine such a fault can arrive as another exception than an access
// violation, and without its address; the question to the system is the
// same. Nothing is recorded per copy and no registers are saved for it, so a
// copy that does not fault costs what a plain copy does, and threads need no
// agreement.
#pragma once

#include <cstddef>

// The guarded routines (GuardedMemory.cpp): each reads the 32-bit word at
// probe (unless it is null), then copies size bytes; they return an Outcome.
extern "C" int GuardedCopyFromSegment(const void* probe, void* dest, const void* segment,
                                      size_t size) asm("talvern_guarded_from_segment");
extern "C" int GuardedCopyToSegment(const void* probe, void* segment, const void* src,
                                    size_t size) asm("talvern_guarded_to_segment");

class GuardedMemory {
public:
    // Installs the handler; harmless when installed. false when it cannot be
    // installed: copies must not be made then.
    static bool Install();
    // Removes the handler (before the code that holds it is unloaded).
    static void Uninstall();

    // How a guarded copy ended.
    enum Outcome {
        DONE,
        PROBE_FAULTED,    // the probe's read faulted; nothing was copied
        SEGMENT_FAULTED,  // the segment's side of the copy faulted partway
    };

    // Reads the 32-bit word at probe (unless it is null: the segment's first
    // word, the two steps of a typed access at the cost of one), then copies
    // size bytes from the segment to dest.
    static Outcome FromSegment(const void* probe, void* dest, const void* segment, size_t size)
    {
        return static_cast<Outcome>(GuardedCopyFromSegment(probe, dest, segment, size));
    }
    // The same, copying size bytes from src into the segment.
    static Outcome ToSegment(const void* probe, void* segment, const void* src, size_t size)
    {
        return static_cast<Outcome>(GuardedCopyToSegment(probe, segment, src, size));
    }
};
