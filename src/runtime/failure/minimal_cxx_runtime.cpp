// Linked into the stubs only. The C++ library reports its few internal
// failures (a string grown past its maximum size, memory exhausted) by
// throwing, which would pull the whole exception machinery, the unwinder and
// a symbol demangler into every packed executable. Nothing here catches
// anyway, so these entry points take the program's own failure road instead.
#include <cstdlib>
#include <new>

#include "runtime/failure/failure.h"

namespace {

[[noreturn]] void outOfMemory()
{
    raiseException("EOutOfMemory", "Out of memory");
}

[[noreturn]] void libraryFailure(const char* what)
{
    raiseException("Exception", what ? what : "Internal error");
}

void* allocate(std::size_t size)
{
    if (void* p = std::malloc(size ? size : 1))
        return p;
    outOfMemory();
}

} // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace std {
void __throw_bad_alloc() { outOfMemory(); }
void __throw_bad_array_new_length() { outOfMemory(); }
void __throw_bad_cast() { libraryFailure("Invalid type cast"); }
void __throw_bad_typeid() { libraryFailure("Invalid type cast"); }
void __throw_bad_exception() { libraryFailure(nullptr); }
void __throw_logic_error(const char* s) { libraryFailure(s); }
void __throw_domain_error(const char* s) { libraryFailure(s); }
void __throw_invalid_argument(const char* s) { libraryFailure(s); }
void __throw_length_error(const char* s) { libraryFailure(s); }
void __throw_out_of_range(const char* s) { libraryFailure(s); }
void __throw_out_of_range_fmt(const char* s, ...) { libraryFailure(s); }
void __throw_runtime_error(const char* s) { libraryFailure(s); }
void __throw_range_error(const char* s) { libraryFailure(s); }
void __throw_overflow_error(const char* s) { libraryFailure(s); }
void __throw_underflow_error(const char* s) { libraryFailure(s); }
} // namespace std
