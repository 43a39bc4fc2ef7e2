// How the two programs' allocator (jemalloc, linked in place of glibc's
// malloc outside the sanitizer builds) is set: read by jemalloc as it
// starts, before main.
//
// An export makes its tables (the library, the drive's record, the
// layout: some 70 MB for 20,000 tracks) in a burst and frees them at
// exit. Taken 4 KB at a time, each page's first touch is a fault: 17,000
// of them in a dry run, a quarter of its time on this kind of machine.
// Arenas on huge pages take 4,800. One arena for all threads takes 2,800
// and another tenth of the time: the look at the drive runs on up to
// eight threads, and each arena of its own would fault in huge pages of
// its own; each thread's cache keeps most allocations off the arena's
// lock. The window keeps its tables for its lifetime, where huge pages
// cost nothing either.
extern "C" {
// NOLINTNEXTLINE: the name and type are jemalloc's.
const char* malloc_conf = "thp:always,metadata_thp:always,narenas:1";
}
