// What the exporter process claims from the system at start: its state and documents folders, for
// itself alone, and as many file descriptors as it may have.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::exporter {

// Takes an exclusive lock (flock) on the .lock file of the state folder and of the documents
// folder (one lock when they are one folder) and writes this process's PID into each; the locks
// last as long as the process. Two exporters on one folder would write the same documents and
// read each other's half-written ones, and the one starting would remove what the other made.
// false with error naming the folder and the holder's PID when another process holds a lock.
bool LockFolders(const std::string& state, const std::string& documents, std::string& error);

// Raises the soft limit on open files to the hard one; answers the limit now in force.
std::size_t RaiseDescriptorLimit();

// Bounds glibc's malloc arenas to one per core (unless MALLOC_ARENA_MAX says otherwise). Every
// worker thread would otherwise get an arena of its own, up to eight per core, and each keeps
// what a large load left in it: memory would grow with the workers a hostile device reaches.
void BoundMemoryArenas();

// How a descriptor limit is shared: the program's own, each configured device's kept connection
// and each worker's load come first; the HTTP server may hold what is left (within bounds). One
// plan for both, so the server's connection limit and the warning at start never disagree.
struct DescriptorPlan {
  std::size_t connections = 0;  // the HTTP server's connection limit
  std::size_t needed = 0;       // what the devices and workers need with room for 1,024 clients
};
DescriptorPlan PlanDescriptors(std::size_t limit, std::size_t devices, std::size_t workers);

}  // namespace kestrel::exporter
