// GuardedMemory.cpp - guarded copies: a copy routine of a few instructions
// whose faulting instructions are known, and a vectored exception handler
// that sends a fault at one of them to the routine's failure return.
#include "GuardedMemory.h"

#include <windows.h>

#include <cstdint>

// The guarded routine, in assembly so that the instructions that may fault
// and the stack at each of them are fixed:
//   int GuardedProbeCopy(const void* probe, void* dest, const void* src, size_t size)
// reads the word at probe (unless it is null), then copies size bytes: the
// sizes of the typed values with one load and store, any other size with
// rep movsb. It returns an Outcome. It is a leaf that leaves the stack
// pointer alone on x86_64 (no unwind data needed there); on i686 it saves
// esi and edi around the block copy only.
//
// Each fault site is a range of instructions and the label that ends the
// routine with the matching outcome, restoring what the range had changed.
extern "C" {
extern const char g_probe_begin[] asm("talvern_guard_probe_begin");
extern const char g_probe_end[] asm("talvern_guard_probe_end");
extern const char g_probe_fault[] asm("talvern_guard_probe_fault");
extern const char g_copy_begin[] asm("talvern_guard_copy_begin");
extern const char g_copy_end[] asm("talvern_guard_copy_end");
extern const char g_copy_fault[] asm("talvern_guard_copy_fault");
extern const char g_block_begin[] asm("talvern_guard_block_begin");
extern const char g_block_end[] asm("talvern_guard_block_end");
extern const char g_block_fault[] asm("talvern_guard_block_fault");
}

static_assert(GuardedMemory::DONE == 0 && GuardedMemory::PROBE_FAULTED == 1 &&
                  GuardedMemory::COPY_FAULTED == 2,
              "the routine below returns these values");

__attribute__((naked, noinline, noclone)) int GuardedProbeCopy(
    const void* /*probe*/, void* /*dest*/, const void* /*src*/, size_t /*size*/)
{
#ifdef _WIN64
// Arguments in rcx, rdx, r8, r9. rdi and rsi, which rep movsb needs, are
// kept in the volatile r10 and r11 meanwhile.
    asm(R"(
    testq   %rcx, %rcx
    je      1f
talvern_guard_probe_begin:
    movl    (%rcx), %eax
talvern_guard_probe_end:
1:  cmpq    $4, %r9
    je      4f
    cmpq    $8, %r9
    je      8f
    cmpq    $2, %r9
    je      2f
    cmpq    $1, %r9
    je      11f
    movq    %rdi, %r10
    movq    %rsi, %r11
    movq    %rdx, %rdi
    movq    %r8, %rsi
    movq    %r9, %rcx
talvern_guard_block_begin:
    rep movsb
talvern_guard_block_end:
    movq    %r10, %rdi
    movq    %r11, %rsi
    xorl    %eax, %eax
    ret
talvern_guard_copy_begin:
4:  movl    (%r8), %eax
    movl    %eax, (%rdx)
    jmp     0f
8:  movq    (%r8), %rax
    movq    %rax, (%rdx)
    jmp     0f
2:  movzwl  (%r8), %eax
    movw    %ax, (%rdx)
    jmp     0f
11: movzbl  (%r8), %eax
    movb    %al, (%rdx)
talvern_guard_copy_end:
0:  xorl    %eax, %eax
    ret
talvern_guard_probe_fault:
    movl    $1, %eax
    ret
talvern_guard_copy_fault:
    movl    $2, %eax
    ret
talvern_guard_block_fault:
    movq    %r10, %rdi
    movq    %r11, %rsi
    movl    $2, %eax
    ret
)");
#else
// Arguments on the stack (cdecl); eax, ecx and edx are free.
    asm(R"(
    movl    4(%esp), %ecx
    testl   %ecx, %ecx
    je      1f
talvern_guard_probe_begin:
    movl    (%ecx), %eax
talvern_guard_probe_end:
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
    je      11f
    pushl   %esi
    pushl   %edi
    movl    %edx, %edi
    movl    %ecx, %esi
    movl    %eax, %ecx
talvern_guard_block_begin:
    rep movsb
talvern_guard_block_end:
    popl    %edi
    popl    %esi
    xorl    %eax, %eax
    ret
talvern_guard_copy_begin:
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
    jmp     0f
11: movzbl  (%ecx), %eax
    movb    %al, (%edx)
talvern_guard_copy_end:
0:  xorl    %eax, %eax
    ret
talvern_guard_probe_fault:
    movl    $1, %eax
    ret
talvern_guard_copy_fault:
    movl    $2, %eax
    ret
talvern_guard_block_fault:
    popl    %edi
    popl    %esi
    movl    $2, %eax
    ret
)");
#endif
}

namespace {

struct FaultSite {
    const char* begin;  // first instruction that may fault
    const char* end;    // just past the last one
    const char* resume; // where the routine ends after a fault there
};

const FaultSite FAULT_SITES[] = {
    {g_probe_begin, g_probe_end, g_probe_fault},
    {g_copy_begin, g_copy_end, g_copy_fault},
    {g_block_begin, g_block_end, g_block_fault},
};

PVOID g_handler = nullptr;

// Sends a thread that raised any exception at a fault site of the routine
// to that site's failure return; leaves every other exception to the next
// handler. The faulting instruction alone tells a guarded access, so any
// number of threads may make guarded accesses at once.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    CONTEXT* context = info->ContextRecord;
#ifdef _WIN64
    const char* at = reinterpret_cast<const char*>(context->Rip);
#else
    const char* at = reinterpret_cast<const char*>(context->Eip);
#endif
    for (const FaultSite& site : FAULT_SITES) {
        if (at >= site.begin && at < site.end) {
#ifdef _WIN64
            context->Rip = reinterpret_cast<DWORD64>(site.resume);
#else
            context->Eip = reinterpret_cast<DWORD>(site.resume);
#endif
            return EXCEPTION_CONTINUE_EXECUTION;
        }
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

bool GuardedMemory::Copy(void* dest, const void* src, size_t size)
{
    return ProbeThenCopy(nullptr, dest, src, size) == DONE;
}
