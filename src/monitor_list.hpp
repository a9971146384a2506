// Node of the configuration's two path lists (monitored trees and exclusions), shared by src/config and
// src/av.
#pragma once

// Allocated with malloc; the list owner frees `path` and then the node. New nodes go to the head, so a list
// holds its paths in the reverse of the order in which they were added.
struct monitor {
    char* path;    // malloc'd, NUL-terminated, owned by the node
    monitor* next; // null ends the list
};
