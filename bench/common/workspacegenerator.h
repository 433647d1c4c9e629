#pragma once

// A workspace of realistic shape and size for benchmarks: pages of blocks with Spanish text,
// accents and emoji, kanban boards with cards, and meeting pages.

#include <cstddef>
#include <string>

namespace quorvale::bench {

struct WorkspaceShape
{
    std::size_t pages = 2000;
    std::size_t blocksPerPage = 20;
    unsigned seed = 20261206;
};

// The document as JSON text (compact).
std::string generateWorkspace(const WorkspaceShape &shape = {});

} // namespace quorvale::bench
