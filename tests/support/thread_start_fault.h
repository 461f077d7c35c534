// A thread-start fault for tests: while armed, thread starts that ask for exactly a given stack
// size fail with EAGAIN, as on a host whose address space or thread limit is used up; every
// other thread starts as usual.
//
// The source file defines pthread_create, which takes the place of the C library's in the test
// program and in every module it loads (the plug-in included); it must be compiled into the
// test executable itself, never into a library.
#pragma once

#include <cstddef>

// Fails the next `count` thread starts (-1: every one) that ask for `stack_bytes`; `count` 0
// disarms. Returns nothing; FailedThreadStarts() counts the starts failed so far.
void FailThreadStarts(std::size_t stack_bytes, int count);
int FailedThreadStarts();

// The same for the sampling thread's stack size (SamplingThread::kStackBytes), every start.
void FailSamplingThreadStarts(bool armed);
int FailedSamplingThreadStarts();
