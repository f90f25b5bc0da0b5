// Decoded signals as the utility shows them: the texts of a signal's cells
// in the monitor and the lines of the frame list's tooltip.
#pragma once

#include <cstdint>
#include <string>

#include "dbc.h"

namespace gui {

// "1812.0 rpm": the physical value with its unit; "(missing)" where the
// frame is too short for the signal.
std::string value_with_unit(const velk::dbc::Value &v);
// The raw value as decimal; a signed signal's as a negative number.
std::string raw_text(const velk::dbc::Value &v);
// "[0|8000]", or "" where the signal has no range.
std::string range_text(const velk::dbc::Signal &s);
// The message name and one line per decoded signal,
// "EngineSpeed = 1812.0 rpm" with the value's text in quotes.
std::string signals_text(const velk::dbc::Message &m, const velk::dbc::Value *values, int n);

}  // namespace gui
