#pragma once

namespace fk {

// One visitor from one lambda per alternative. Visitors over events name every event: no
// catch-all, so a new event does not compile until every place that tells them apart handles it.
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
// Clang before 17 does not deduce an aggregate's template arguments by itself.
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace fk
