// GuardedMemory.cpp - guarded copies: a copy routine of a few instructions
// for each direction, whose faulting instructions are known, and a vectored
// exception handler that sends a fault on the segment's side of one of them
// to the routine's failure return.
#include "GuardedMemory.h"

#include <windows.h>

#include <cstdint>

static_assert(GuardedMemory::DONE == 0 && GuardedMemory::PROBE_FAULTED == 1 &&
                  GuardedMemory::SEGMENT_FAULTED == 2,
              "the routines below return these values");

// The two routines, talvern_guarded_from_segment and
// talvern_guarded_to_segment, are one assembly macro expanded twice, so that
// the instructions that may fault, and the registers at each of them, are
// fixed:
//   int routine(const void* probe, void* dest, const void* src, size_t size)
// reads the word at probe (unless it is null), then copies size bytes: the
// sizes of the typed values with one load and store (the typed copy), any
// other size with rep movsb (the block copy). Each range of instructions
// that may fault is named by a pair of labels, <routine>_<range>_begin and
// _end, and its failure return by <routine>_<range>_fault.
//
// x86_64: arguments in rcx, rdx, r8, r9. The probe and the typed copy are a
// leaf that leaves the stack alone (no unwind data needed). The block copy,
// which needs rsi and rdi, is a function of its own with unwind data for
// them, so that a program whose handler unwinds past a fault in it gets its
// registers back.
// i686: arguments on the stack (cdecl); eax, ecx and edx are free.
#ifdef _WIN64
asm(R"(
    .macro TALVERN_GUARDED_COPY name
    .text
    .p2align 4
    .globl \name
\name:
    testq   %rcx, %rcx
    je      1f
\name\()_probe_begin:
    movl    (%rcx), %eax
\name\()_probe_end:
1:  cmpq    $4, %r9
    je      4f
    cmpq    $8, %r9
    je      8f
    cmpq    $2, %r9
    je      2f
    cmpq    $1, %r9
    jne     \name\()_block
\name\()_copy_begin:
    movzbl  (%r8), %eax
    movb    %al, (%rdx)
    jmp     0f
4:  movl    (%r8), %eax
    movl    %eax, (%rdx)
    jmp     0f
8:  movq    (%r8), %rax
    movq    %rax, (%rdx)
    jmp     0f
2:  movzwl  (%r8), %eax
    movw    %ax, (%rdx)
\name\()_copy_end:
0:  xorl    %eax, %eax
    ret
\name\()_probe_fault:
    movl    $1, %eax
    ret
\name\()_copy_fault:
    movl    $2, %eax
    ret

    .seh_proc \name\()_block
\name\()_block:
    pushq   %rsi
    .seh_pushreg %rsi
    pushq   %rdi
    .seh_pushreg %rdi
    .seh_endprologue
    movq    %rdx, %rdi
    movq    %r8, %rsi
    movq    %r9, %rcx
\name\()_block_begin:
    rep movsb
\name\()_block_end:
    xorl    %eax, %eax
    jmp     9f
\name\()_block_fault:
    movl    $2, %eax
9:  popq    %rdi
    popq    %rsi
    ret
    .seh_endproc
    .endm

    TALVERN_GUARDED_COPY talvern_guarded_from_segment
    TALVERN_GUARDED_COPY talvern_guarded_to_segment
)");
#else
asm(R"(
    .macro TALVERN_GUARDED_COPY name
    .text
    .p2align 4
    .globl \name
\name:
    movl    4(%esp), %ecx
    testl   %ecx, %ecx
    je      1f
\name\()_probe_begin:
    movl    (%ecx), %eax
\name\()_probe_end:
1:  movl    16(%esp), %eax
    movl    12(%esp), %ecx
    movl    8(%esp), %edx
    cmpl    $4, %eax
    je      4f
    cmpl    $8, %eax
    je      8f
    cmpl    $2, %eax
    je      2f
    cmpl    $1, %eax
    jne     7f
\name\()_copy_begin:
    movzbl  (%ecx), %eax
    movb    %al, (%edx)
    jmp     0f
4:  movl    (%ecx), %eax
    movl    %eax, (%edx)
    jmp     0f
8:  movl    (%ecx), %eax
    movl    %eax, (%edx)
    movl    4(%ecx), %eax
    movl    %eax, 4(%edx)
    jmp     0f
2:  movzwl  (%ecx), %eax
    movw    %ax, (%edx)
\name\()_copy_end:
0:  xorl    %eax, %eax
    ret
7:  pushl   %esi
    pushl   %edi
    movl    %edx, %edi
    movl    %ecx, %esi
    movl    %eax, %ecx
\name\()_block_begin:
    rep movsb
\name\()_block_end:
    xorl    %eax, %eax
    jmp     9f
\name\()_block_fault:
    movl    $2, %eax
9:  popl    %edi
    popl    %esi
    ret
\name\()_probe_fault:
    movl    $1, %eax
    ret
\name\()_copy_fault:
    movl    $2, %eax
    ret
    .endm

    TALVERN_GUARDED_COPY talvern_guarded_from_segment
    TALVERN_GUARDED_COPY talvern_guarded_to_segment
)");
#endif

// The labels of one routine's fault ranges, as C++ sees them.
#define TALVERN_ROUTINE_LABELS(routine)                                                \
    extern "C" const char routine##_probe_begin[] asm(#routine "_probe_begin"),        \
        routine##_probe_end[] asm(#routine "_probe_end"),                              \
        routine##_probe_fault[] asm(#routine "_probe_fault"),                          \
        routine##_copy_begin[] asm(#routine "_copy_begin"),                            \
        routine##_copy_end[] asm(#routine "_copy_end"),                                \
        routine##_copy_fault[] asm(#routine "_copy_fault"),                            \
        routine##_block_begin[] asm(#routine "_block_begin"),                          \
        routine##_block_end[] asm(#routine "_block_end"),                              \
        routine##_block_fault[] asm(#routine "_block_fault")
TALVERN_ROUTINE_LABELS(talvern_guarded_from_segment);
TALVERN_ROUTINE_LABELS(talvern_guarded_to_segment);

namespace {

// Which operand of a faulting instruction is the segment.
enum class SegmentSide {
    PROBE,   // the probe's read: always the segment
    SOURCE,  // a copy from the segment
    DEST,    // a copy into the segment
};

// How far the faulting copy still reaches.
enum class CopyKind {
    NONE,   // the probe
    TYPED,  // one value of the size argument
    BLOCK,  // rep movsb: the count register holds the bytes left
};

struct FaultSite {
    const char* begin;   // first instruction that may fault
    const char* end;     // just past the last one
    const char* resume;  // where the routine ends after a fault there
    SegmentSide side;
    CopyKind kind;
};

#define TALVERN_ROUTINE_SITES(routine, side)                                              \
    {routine##_probe_begin, routine##_probe_end, routine##_probe_fault, SegmentSide::PROBE, \
     CopyKind::NONE},                                                                     \
        {routine##_copy_begin, routine##_copy_end, routine##_copy_fault, side,            \
         CopyKind::TYPED},                                                                \
        {routine##_block_begin, routine##_block_end, routine##_block_fault, side,         \
         CopyKind::BLOCK}

const FaultSite FAULT_SITES[] = {
    TALVERN_ROUTINE_SITES(talvern_guarded_from_segment, SegmentSide::SOURCE),
    TALVERN_ROUTINE_SITES(talvern_guarded_to_segment, SegmentSide::DEST),
};

PVOID g_handler = nullptr;

// The segment's bytes that the copy faulting at site still reaches, from
// the registers of the routine (see the assembly above).
void SegmentBytes(const FaultSite& site, const CONTEXT& context, uintptr_t* at, size_t* size)
{
    const bool source = site.side == SegmentSide::SOURCE;
#ifdef _WIN64
    if (site.kind == CopyKind::BLOCK) {
        *at = source ? context.Rsi : context.Rdi;
        *size = context.Rcx;
    } else {
        *at = source ? context.R8 : context.Rdx;
        *size = context.R9;
    }
#else
    if (site.kind == CopyKind::BLOCK) {
        *at = source ? context.Esi : context.Edi;
        *size = context.Ecx;
    } else {
        // The typed copy has left the stack alone: the size argument is
        // where the call put it.
        *at = source ? context.Ecx : context.Edx;
        *size = *reinterpret_cast<const size_t*>(context.Esp + 4 * sizeof(uint32_t));
    }
#endif
}

// true when every byte of [at, at + size) is committed memory that may be
// read (write false) or written (write true).
bool Accessible(uintptr_t at, size_t size, bool write)
{
    constexpr DWORD READABLE = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                               PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                               PAGE_EXECUTE_WRITECOPY;
    constexpr DWORD WRITABLE =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const uintptr_t end = size > UINTPTR_MAX - at ? UINTPTR_MAX : at + size;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof(info)) != sizeof(info))
            return false;
        if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0 ||
            (info.Protect & (write ? WRITABLE : READABLE)) == 0)
            return false;
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

// A thread that raised an exception at a fault site of a routine goes to
// that site's failure return when the fault is the segment's: the probe, or
// a copy whose segment bytes are no longer accessible. Every other exception,
// a fault on the caller's side of a copy among them, goes on to the next
// handler, as it would without the bridge.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    CONTEXT* context = info->ContextRecord;
#ifdef _WIN64
    const char* at = reinterpret_cast<const char*>(context->Rip);
#else
    const char* at = reinterpret_cast<const char*>(context->Eip);
#endif
    for (const FaultSite& site : FAULT_SITES) {
        if (at < site.begin || at >= site.end)
            continue;
        if (site.side != SegmentSide::PROBE) {
            uintptr_t segment = 0;
            size_t size = 0;
            SegmentBytes(site, *context, &segment, &size);
            if (Accessible(segment, size != 0 ? size : 1, site.side == SegmentSide::DEST))
                return EXCEPTION_CONTINUE_SEARCH;  // the caller's own fault
        }
#ifdef _WIN64
        context->Rip = reinterpret_cast<DWORD64>(site.resume);
#else
        context->Eip = reinterpret_cast<DWORD>(site.resume);
#endif
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool GuardedMemory::Install()
{
    if (g_handler == nullptr)
        g_handler = AddVectoredExceptionHandler(1, OnException);
    return g_handler != nullptr;
}

void GuardedMemory::Uninstall()
{
    if (g_handler != nullptr) {
        RemoveVectoredExceptionHandler(g_handler);
        g_handler = nullptr;
    }
}
