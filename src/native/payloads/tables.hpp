// The research tables (see tables.cpp).
#pragma once

#include "payloads.hpp"

namespace zk::payloads {

// Fills the module state's copies of the tables and the option slots.
bool init_tables(State& st);

// The slot of an option name, given a new one the first time the name is
// seen (every slot is made at module load, from the string table and the
// tables above); -1 on error.
int slot_of(State& st, const char* name);

// Fresh copies for the module's attributes.
PyObject* build_presets();
PyObject* build_aliases();
PyObject* build_official_aliases();
PyObject* build_hidden_fields();

}  // namespace zk::payloads
