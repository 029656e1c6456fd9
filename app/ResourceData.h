// The raw bytes of the resources built into this executable at build time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// The bytes of the named resource; an empty span when the program has none of that name.
std::span<const std::byte> EmbeddedResourceBytes(std::string_view name);
