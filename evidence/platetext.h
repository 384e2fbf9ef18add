// Plate texts: the recogniser reads Latin capitals; reports carry the
// Cyrillic letters of the same shape. Read-only tables, thread-safe.
#pragma once

#include <map>
#include <string>

// Latin capital letter -> UTF-8 Cyrillic capital of the same shape (12 pairs).
extern const std::map<char, std::string> substnum;

// Replaces each of ABEKMHOPCTYX by its Cyrillic twin; other bytes stay.
void convertLicenseNumberRUS(std::string& plate);
