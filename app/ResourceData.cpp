// The bytes of the resources, pulled into the executable by the assembler at build time. The
// build compiles this unit without a compiler cache: a cache cannot see that the included file
// changed. LOMBKALAUZ_RESOURCE_1_PATH is set by app/CMakeLists.txt.
#include "ResourceData.h"

#ifndef LOMBKALAUZ_RESOURCE_1_PATH
#error "LOMBKALAUZ_RESOURCE_1_PATH must name the file embedded as Resource_1"
#endif

__asm__(
    ".pushsection .rodata.lombkalauz_resource_1, \"a\", @progbits\n"
    ".balign 16\n"
    ".globl lombkalauz_resource_1_begin\n"
    ".hidden lombkalauz_resource_1_begin\n"
    "lombkalauz_resource_1_begin:\n"
    ".incbin \"" LOMBKALAUZ_RESOURCE_1_PATH "\"\n"
    ".globl lombkalauz_resource_1_end\n"
    ".hidden lombkalauz_resource_1_end\n"
    "lombkalauz_resource_1_end:\n"
    ".popsection\n");

extern "C" const std::byte lombkalauz_resource_1_begin[];
extern "C" const std::byte lombkalauz_resource_1_end[];

std::span<const std::byte> EmbeddedResourceBytes(std::string_view name) {
  if (name == "Resource_1")
    return {lombkalauz_resource_1_begin, lombkalauz_resource_1_end};
  return {};
}
