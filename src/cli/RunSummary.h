#pragma once
// The line brindle-get prints after a successful verdict, saying in human units what the
// run did: "Saved t.bin: 12.0 MiB in 1.4 s (8.6 MiB/s)". Pure; any thread.
#include <cstdint>
#include <string>

struct RunFigures {
    std::string file;  // where the bytes went ("standard output" for -o -)
    std::string url;   // named in the line when not empty (a run over several URLs)
    int64_t fileSize = 0;
    int64_t fetched = 0;  // bytes this run received; the rest came from part files
    int64_t elapsedMs = 0;
};

std::string RunSummary(const RunFigures& figures);
