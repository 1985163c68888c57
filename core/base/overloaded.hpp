#pragma once

namespace tarvel::base {

/// One visitor out of several lambdas, for std::visit over a variant.
template <class... Cases>
struct Overloaded : Cases... {
    using Cases::operator()...;
};
template <class... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

}  // namespace tarvel::base
