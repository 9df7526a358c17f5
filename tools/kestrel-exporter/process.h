// What the exporter process claims from the system at start: its state folder, for itself alone,
// and as many file descriptors as it may have.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::exporter {

// Takes an exclusive lock (flock) on the state folder's .lock file and writes this process's PID
// into it; the lock lasts as long as the process. Two exporters on one folder would write the same
// documents and read each other's half-written ones. Answers the descriptor, or -1 with error
// naming the holder's PID when another process holds the lock.
int LockStateFolder(const std::string& folder, std::string& error);

// Raises the soft limit on open files to the hard one; answers the limit now in force.
std::size_t RaiseDescriptorLimit();

// Bounds glibc's malloc arenas to one per core (unless MALLOC_ARENA_MAX says otherwise). Every
// worker thread would otherwise get an arena of its own, up to eight per core, and each keeps
// what a large load left in it: memory would grow with the workers a hostile device reaches.
void BoundMemoryArenas();

// About how many descriptors devices configured devices may hold at once: each keeps its
// connection, and a load opens its trace and documents beside it.
std::size_t DescriptorsNeeded(std::size_t devices);

}  // namespace kestrel::exporter
