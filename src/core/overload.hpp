// Builds one visitor from several lambdas, for std::visit over error and slot variants.
#pragma once

namespace mirvon {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

}  // namespace mirvon
