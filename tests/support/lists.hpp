// The daemon's C lists in tests: monitored-path and exclusion lists made like the configuration's, and any
// such list read back into strings.
#pragma once

#include "src/config.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace zet_test {

// A list of `monitor` nodes holding `head_first` in that order from the head, nodes and paths malloc'd as
// the configuration reader makes them. Frees what it still owns when it goes.
class PathList {
public:
    PathList(std::initializer_list<std::string> head_first);
    ~PathList();
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;

    monitor* head() const { return head_; }
    // Hands the nodes to a new owner, such as a Config, and keeps none.
    monitor* release();

private:
    monitor* head_ = nullptr;
};

// The texts of a singly linked C list, head first: texts_of(found, &infection::name).
template <class Node> std::vector<std::string> texts_of(const Node* list, char* Node::*text) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next)
        out.emplace_back(list->*text);
    return out;
}

inline std::vector<std::string> paths_of(const monitor* list) {
    return texts_of(list, &monitor::path);
}

} // namespace zet_test
