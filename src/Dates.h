// The date reader and the date-range option that uses it.
#pragma once

#include <string>

#include "platform/Platform.h"

// Reads "year month day" from the start of `text` (any non-digit separates
// the fields). On meeting a third separator `text` becomes the rest from that
// separator on. True, and `date` set, when the fields form a real date.
bool ReadDate(std::string& text, platform::DateValue& date);
// The same under an explicit character rule.
bool ReadDate(std::string& text, platform::DateValue& date, platform::CharRule rule);

// The date-range option: sets one, both or neither of the two days.
void HandleDateOption(std::string value, platform::DateValue& firstDay,
                      platform::DateValue& lastDay);
// The same under an explicit character rule.
void HandleDateOption(std::string value, platform::DateValue& firstDay,
                      platform::DateValue& lastDay, platform::CharRule rule);
