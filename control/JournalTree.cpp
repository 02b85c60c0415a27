// SPDX-License-Identifier: GPL-3.0-or-later
#include "JournalTree.h"

#include <algorithm>

namespace Journal {
namespace {

bool IsSeparator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

}  // namespace

JournalTree::JournalTree(std::string top, bool knowsEveryFolder)
    : top_(std::move(top)),
      knowsEveryFolder_(knowsEveryFolder),
      root_(std::make_unique<FolderNode>()) {}

bool JournalTree::NamesBelowTop(std::string_view path, std::vector<std::string_view>& names) const {
    names.clear();
    if (!path.starts_with(top_))
        return false;
    path.remove_prefix(top_.size());
    // The top's own trailing separator, or the one the walk put after it.
    if (!path.empty() && !(top_.empty() || IsSeparator(top_.back())) && !IsSeparator(path[0]))
        return false;
    while (!path.empty()) {
        while (!path.empty() && IsSeparator(path[0]))
            path.remove_prefix(1);
        std::size_t end = 0;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        if (end > 0)
            names.push_back(path.substr(0, end));
        path.remove_prefix(end);
    }
    return true;
}

bool JournalTree::Clean(std::string_view path) const {
    std::vector<std::string_view> names;
    if (!NamesBelowTop(path, names))
        return false;
    const FolderNode* node = root_.get();
    for (std::string_view name : names) {
        if (node->whole)
            return false;
        const auto child = node->children.find(name);
        if (child == node->children.end())
            return !knowsEveryFolder_;
        node = child->second.get();
    }
    return node->below == 0;
}

FolderNode& JournalTree::Add(FolderNode& parent, std::string_view name) {
    const auto existing = parent.children.find(name);
    if (existing != parent.children.end())
        return *existing->second;
    auto node = std::make_unique<FolderNode>();
    node->parent = &parent;
    node->name = std::string(name);
    FolderNode& added = *node;
    parent.children.emplace(added.name, std::move(node));
    ++count_;
    return added;
}

FolderNode& JournalTree::Reach(const std::vector<std::string_view>& names) {
    FolderNode* node = root_.get();
    for (std::string_view name : names) {
        const auto child = node->children.find(name);
        node = child != node->children.end() ? child->second.get() : &Add(*node, name);
    }
    return *node;
}

FolderNode& JournalTree::Deepest(const std::vector<std::string_view>& names, std::size_t& depth) {
    FolderNode* node = root_.get();
    for (depth = 0; depth < names.size(); ++depth) {
        const auto child = node->children.find(names[depth]);
        if (child == node->children.end())
            break;
        node = child->second.get();
    }
    return *node;
}

std::string JournalTree::PathOf(const FolderNode& node) const {
    std::vector<const FolderNode*> chain;
    for (const FolderNode* at = &node; at->parent; at = at->parent)
        chain.push_back(at);
    std::string path = top_;
#ifdef _WIN32
    constexpr char kSeparator = '\\';
#else
    constexpr char kSeparator = '/';
#endif
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        if (path.empty() || !IsSeparator(path.back()))
            path += kSeparator;
        path += (*at)->name;
    }
    return path;
}

void JournalTree::RaiseBelow(FolderNode* node, Mark mark) {
    for (; node && node->below < mark; node = node->parent)
        node->below = mark;
}

void JournalTree::MarkOwn(FolderNode& node, Mark mark) {
    node.own = std::max(node.own, mark);
    RaiseBelow(&node, mark);
}

void JournalTree::MarkWhole(FolderNode& node, Mark mark) {
    node.whole = std::max(node.whole, mark);
    RaiseBelow(&node, mark);
}

void JournalTree::ClearBefore(Mark before) {
    ClearNode(*root_, before);
}

bool JournalTree::ClearNode(FolderNode& node, Mark before) {
    if (node.below == 0)
        return !knowsEveryFolder_ && node.children.empty();
    if (node.own < before)
        node.own = 0;
    if (node.whole < before)
        node.whole = 0;
    node.below = std::max(node.own, node.whole);
    for (auto child = node.children.begin(); child != node.children.end();) {
        if (ClearNode(*child->second, before)) {
            child = node.children.erase(child);
            --count_;
            continue;
        }
        node.below = std::max(node.below, child->second->below);
        ++child;
    }
    return !knowsEveryFolder_ && node.below == 0 && node.children.empty();
}

}  // namespace Journal
