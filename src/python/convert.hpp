#pragma once
// Readings, packet maps and queue entries as the plain Python objects users receive.
// Each conversion consumes its input and returns a new reference, or null with the
// interpreter's exception set; no partly built object is ever returned.

#include "python/owned.hpp"

#include <vector>

#include "client/packet_map.hpp"
#include "client/queue_entry.hpp"
#include "decode/catalogue.hpp"

namespace tiltwick::py {

// Interns every key and fixed value of the conversions; called once, when the module is
// created. False with the interpreter's exception set when that fails.
bool intern_conversion_names();

Owned reading_to_python(const Reading& reading);
Owned readings_to_python(std::vector<Reading> readings);
Owned packet_map_to_python(PacketMap map);

Owned queue_entry_to_python(QueueEntry entry);
Owned queue_entries_to_python(std::vector<QueueEntry> entries);

}  // namespace tiltwick::py
