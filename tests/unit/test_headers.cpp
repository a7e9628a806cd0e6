// Holds nothing: the target it belongs to precompiles GoogleTest's headers for every unit
// test, which reuse them.
