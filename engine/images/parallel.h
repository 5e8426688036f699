#pragma once

#include <cstddef>
#include <functional>

// Into how many pieces of at least `smallest` bytes work on `bytes` bytes is
// cut: one a core, at most four; 1 when it is not worth threads.
std::size_t PiecesFor(std::size_t bytes, std::size_t smallest);

// Runs work(0) to work(pieces - 1) at once, work(0) on the calling thread,
// and once all are done rethrows the first one's failure, if any.
void RunPieces(std::size_t pieces, const std::function<void(std::size_t)>& work);
