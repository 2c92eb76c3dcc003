// GuardedMemory.cpp - guarded copies through a vectored exception handler
// and a jump back to the guarded access.
#include "GuardedMemory.h"

#include <windows.h>

#include <cstring>

namespace {

// A jump buffer of __builtin_setjmp: five machine words.
struct JumpBuffer {
    void* words[5];
};

// The guarded access running now: the thread that makes it (its thread
// block, read without a call) and where it resumes after a fault. The
// bridge's callers make one call at a time, so one record serves; the thread
// keeps faults of other threads out.
struct Guard {
    void* volatile thread;
    JumpBuffer* volatile resume;
};

Guard g_guard = {nullptr, nullptr};

// This thread's thread block (its NT_TIB.Self), read in line.
inline void* CurrentThreadBlock()
{
    void* self;
#ifdef _WIN64
    asm volatile("movq %%gs:0x30, %0" : "=r"(self));
#else
    asm volatile("movl %%fs:0x18, %0" : "=r"(self));
#endif
    return self;
}
PVOID g_handler = nullptr;

// Where a faulting guarded access resumes: jumps back into Copy, which then
// reports the failure.
__attribute__((noinline, noreturn)) void ResumeAfterFault()
{
    __builtin_longjmp(g_guard.resume->words, 1);
}

// Redirects the thread that raised any exception inside a guarded access to
// ResumeAfterFault; leaves every other exception to the next handler.
LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    if (g_guard.resume == nullptr || g_guard.thread != CurrentThreadBlock())
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* context = info->ContextRecord;
    // Enter the trampoline as if called: stack aligned as after a call.
#ifdef _WIN64
    context->Rsp = (context->Rsp & ~static_cast<DWORD64>(15)) - sizeof(void*);
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAfterFault);
#else
    context->Esp = (context->Esp & ~static_cast<DWORD>(15)) - sizeof(void*);
    context->Eip = reinterpret_cast<DWORD>(&ResumeAfterFault);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// memcpy, with the sizes of the typed values copied in line: no call on the
// path of a typed access.
inline void CopyBytes(void* dest, const void* src, size_t size)
{
    switch (size) {
    case 1: __builtin_memcpy(dest, src, 1); break;
    case 2: __builtin_memcpy(dest, src, 2); break;
    case 4: __builtin_memcpy(dest, src, 4); break;
    case 8: __builtin_memcpy(dest, src, 8); break;
    default: memcpy(dest, src, size); break;
    }
}

// Ends the guarded access of this thread.
inline void EndGuard()
{
    g_guard.resume = nullptr;
    g_guard.thread = nullptr;
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

GuardedMemory::Outcome GuardedMemory::ProbeThenCopy(const void* probe, void* dest,
                                                    const void* src, size_t size)
{
    if (g_handler == nullptr) {
        memcpy(dest, src, size);
        return DONE;
    }
    JumpBuffer buffer;
    volatile Outcome on_fault = PROBE_FAULTED;
    if (__builtin_setjmp(buffer.words) != 0) {
        EndGuard();
        return on_fault;
    }
    g_guard.thread = CurrentThreadBlock();
    g_guard.resume = &buffer;
    asm volatile("" ::: "memory");
    if (probe != nullptr)
        (void)*static_cast<const volatile uint32_t*>(probe);  // read, value unused
    on_fault = COPY_FAULTED;
    CopyBytes(dest, src, size);
    asm volatile("" ::: "memory");
    EndGuard();
    return DONE;
}
