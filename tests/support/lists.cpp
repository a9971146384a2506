// Path lists of the tests.
#include "tests/support/lists.hpp"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace zet_test {

PathList::PathList(std::initializer_list<std::string> head_first) {
    // Built from the tail, each node going to the head as add_monitor puts it.
    for (auto it = std::rbegin(head_first); it != std::rend(head_first); ++it) {
        auto* node = static_cast<monitor*>(std::malloc(sizeof(monitor)));
        node->path = strdup(it->c_str());
        node->next = head_;
        head_ = node;
    }
}

PathList::~PathList() {
    while (head_ != nullptr) {
        monitor* next = head_->next;
        std::free(head_->path);
        std::free(head_);
        head_ = next;
    }
}

monitor* PathList::release() {
    monitor* list = head_;
    head_ = nullptr;
    return list;
}

} // namespace zet_test
