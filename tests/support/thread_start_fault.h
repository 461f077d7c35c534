// A thread-start fault for tests: while armed, every thread start that asks for exactly the
// sampling thread's stack size (SamplingThread::kStackBytes) fails with EAGAIN, as on a host
// whose address space or thread limit is used up; every other thread starts as usual.
//
// The source file defines pthread_create, which takes the place of the C library's in the test
// program and in every module it loads (the plug-in included); it must be compiled into the
// test executable itself, never into a library.
#pragma once

// Arms (true) or disarms (false) the fault; returns the thread starts it has failed so far.
void FailSamplingThreadStarts(bool armed);
int FailedSamplingThreadStarts();
