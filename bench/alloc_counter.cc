#include "bench/alloc_counter.h"

#include <cerrno>
#include <cstddef>

// glibc's allocator under its own names; the replacements below forward to it, so memory from
// either side may be released by the other.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {
// initial-exec: the counter lives in the program's static TLS block, so touching it from inside
// malloc never allocates.
__attribute__((tls_model("initial-exec"))) thread_local long t_allocations = 0;

inline void* Counted(void* p) {
  if (p != nullptr) ++t_allocations;
  return p;
}
}  // namespace

long ThreadAllocations() { return t_allocations; }

extern "C" {

void* malloc(std::size_t size) { return Counted(__libc_malloc(size)); }

void* calloc(std::size_t count, std::size_t size) { return Counted(__libc_calloc(count, size)); }

void* realloc(void* p, std::size_t size) { return Counted(__libc_realloc(p, size)); }

void free(void* p) { __libc_free(p); }

void* memalign(std::size_t alignment, std::size_t size) {
  return Counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return Counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = Counted(__libc_memalign(alignment, size));
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
