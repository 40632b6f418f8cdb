// The extraction counters as the console tools print them.
#pragma once

#include <cstdio>

#include "extraction/extraction.h"

// A few words for a status line: datagrams, objects started and placed.
void formatCounterSummary(const ExtractionCounters& counters, wchar_t* buffer, size_t capacity);
// Every counter, one per line, for the end of a run.
void printCounterReport(const ExtractionCounters& counters, FILE* out);
