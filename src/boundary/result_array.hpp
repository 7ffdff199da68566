#pragma once
// The uint32 (n_bonds, 4) array that every search returns, built over the bond buffer's own
// storage without copying it.

#include "boundary/errors.hpp"
#include "kernel/bond_buffer.hpp"

namespace brenvox {

// Takes over the buffer: its storage passes to the array's owner object or is freed.
PyResult<PyRef> bonds_to_pyarray(BondBuffer bonds);

}  // namespace brenvox
