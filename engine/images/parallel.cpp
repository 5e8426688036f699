#include "images/parallel.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

std::size_t PiecesFor(std::size_t bytes, std::size_t smallest)
{
    std::size_t cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    return std::max<std::size_t>(1, std::min(cores, bytes / smallest));
}

void RunPieces(std::size_t pieces, const std::function<void(std::size_t)>& work)
{
    std::vector<std::exception_ptr> failures(pieces);
    auto guarded = [&](std::size_t i) {
        try {
            work(i);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t i = 1; i < pieces; ++i)
        workers.emplace_back(guarded, i);
    if (pieces > 0)
        guarded(0);
    for (std::thread& worker : workers)
        worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}
