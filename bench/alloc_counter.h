// Heap allocations counted per thread.
//
// alloc_counter.cc replaces malloc, calloc, realloc and the aligned allocators of the C library
// for the whole program (operator new and every library allocate through them) and forwards each
// call to glibc's own allocator. Each call that returns memory adds one to the calling thread's
// count; free is not counted. Linking alloc_counter.cc into a program is what turns counting on.
#pragma once

// Allocations made so far by the calling thread.
long ThreadAllocations();
