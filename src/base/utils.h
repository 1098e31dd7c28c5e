// Free helpers of the engine: display size scaling, hex text and dumps, a byte-pattern search,
// the few file-system calls used when saving, and a printf-style formatter returning std::string.
// None of them keeps state shared between threads.
#pragma once

#include <cstdint>
#include <string>

// Divides the value by 1024 up to four times and gives the unit ' ', 'K', 'M', 'G' or 'T'.
void scaleSize(double* value, int* unit);

// Upper-case hex digits of value, most significant first; digits beyond the eighth are '0'.
std::string toHexString(uint32_t value, int digits);
std::string toHexString(uint32_t value);

// Diagnostic dump through the log switch; the offset columns go to standard error.
void hexdump(const char* title, const void* data, int byteCount);

// First position of needle in haystack, or null (also for empty or longer needles).
const uint8_t* findMemory(const uint8_t* haystack, const uint8_t* needle, int haystackLength,
                          uint32_t needleLength);

bool fileExists(const std::string& path);
bool makeDirectory(const std::string& path);
bool isDirectory(const std::string& path);

std::string formatString(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
