// DllAllocation.cpp - the allocation functions of the shipped DLLs, on the C
// runtime's heap.
//
// The DLLs allocate only with new (std::nothrow) and free with delete. With
// these definitions they need nothing of the C++ library: its allocation
// functions report failure by throwing, and that would link in its exception
// support, which keeps per-process state that no unload of the DLL gives
// back (see cmake/TalvernDll.cmake).
#include <cstdlib>
#include <new>

// Null when the memory cannot be had; a size of 0 still gives a unique block.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return std::malloc(size != 0 ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}
