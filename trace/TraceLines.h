// Inside the trace reader: one line read on its own, and the refusal that
// stops the reading at it.
#pragma once

#include <json/value.h>

#include <string>

#include "TraceFile.h"

namespace trace {

// Why a line cannot be used; caught by the reader, never leaves it.
struct Refusal {
    std::string why;
};

[[noreturn]] void refuse(std::string why);

// What a line says on its own: types, ranges, lengths. What it says about
// the lines before it (threads named, handles open, drives) is checked by
// the reader.
void readEntry(const Json::Value& line, Entry& e);
// The first line.
void readHeader(const Json::Value& line, Trace& trace);

}  // namespace trace
