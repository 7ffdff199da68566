#include "trajectory_files/frame_problem.hpp"

#include <cstring>

namespace brenvox::xdr {

std::string describe(const FrameProblem& problem) {
  switch (problem.failure) {
    case FrameFailure::no_header: return "it has no valid frame header";
    case FrameFailure::atom_count:
      return "it holds " + std::to_string(problem.n_atoms) +
             " atoms where the frames before hold " + std::to_string(problem.expected);
    case FrameFailure::file_ends: return "the file ends inside it";
    case FrameFailure::coordinates: return "its coordinates cannot be decoded";
    case FrameFailure::block_sizes: return "its block sizes do not fit its atom count";
    case FrameFailure::too_many_atoms: return "the file is too short for its atom count";
    case FrameFailure::read_error: {
      char buffer[256];
      return std::string("it cannot be read: ") +
             strerror_r(problem.error_number, buffer, sizeof buffer);
    }
  }
  return "it cannot be read";
}

}  // namespace brenvox::xdr
