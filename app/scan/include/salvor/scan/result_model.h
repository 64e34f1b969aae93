// The result tree and result list that the scan drivers fill and the recovery
// passes read, plus the progress and loading interfaces of a worker. The
// desktop program backs them with widgets; the command-line tool and the tests
// use the in-memory implementations below.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace salvor {

// A node of the result tree; 0 is "no node".
using NodeId = uintptr_t;

// Check states, as state images: 1 unchecked, 2 checked.
constexpr int kUnchecked = 1;
constexpr int kChecked = 2;

// Node images.
constexpr int kImageFolder = 0;
constexpr int kImageFolderSelected = 1;
constexpr int kImageRoot = 4;
constexpr int kImageRootSelected = 5;

class ResultTree {
public:
    virtual ~ResultTree() = default;
    // Inserts a node as the last child of `parent` (0: the top level).
    // Returns 0 when the node cannot be created.
    virtual NodeId InsertNode(NodeId parent, const std::string& text, int image, int selected_image) = 0;
    virtual void DeleteNode(NodeId node) = 0;
    virtual void DeleteAll() = 0;

    virtual std::string Text(NodeId node) const = 0;
    virtual int Image(NodeId node) const = 0;
    virtual int CheckState(NodeId node) const = 0;
    virtual void SetCheckState(NodeId node, int state) = 0;
    virtual uintptr_t ItemData(NodeId node) const = 0;
    virtual void SetItemData(NodeId node, uintptr_t data) = 0;

    virtual NodeId Parent(NodeId node) const = 0;
    virtual NodeId FirstChild(NodeId node) const = 0;
    virtual NodeId NextSibling(NodeId node) const = 0;
    virtual NodeId PreviousSibling(NodeId node) const = 0;
    // The first node of the top level.
    virtual NodeId FirstRoot() const = 0;

    virtual void Select(NodeId node) = 0;
    virtual NodeId Selected() const = 0;
    virtual void Expand(NodeId node) = 0;
};

class ResultList {
public:
    virtual ~ResultList() = default;
    // Appends an unchecked row; returns its index.
    virtual size_t AppendRow(const std::string& name, const std::string& size, const std::string& time,
                             uintptr_t data) = 0;
    virtual void DeleteRow(size_t row) = 0;
    virtual void Clear() = 0;
    virtual size_t RowCount() const = 0;
    virtual std::string Text(size_t row, int column) const = 0;
    virtual int CheckState(size_t row) const = 0;
    virtual void SetCheckState(size_t row, int state) = 0;
    virtual uintptr_t ItemData(size_t row) const = 0;
};

// Percent and status line of the progress dialog, and the stop request.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void SetProgress(int percent) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // True once the user confirmed a stop: workers end between files.
    virtual bool StopRequested() const { return false; }
};

// The main dialog's loading state while a driver builds the tree.
class LoadingState {
public:
    virtual ~LoadingState() = default;
    virtual void LoadingOn() = 0;
    virtual void LoadingOff() = 0;
};

class MemoryResultTree final : public ResultTree {
public:
    NodeId InsertNode(NodeId parent, const std::string& text, int image, int selected_image) override;
    void DeleteNode(NodeId node) override;
    void DeleteAll() override;
    std::string Text(NodeId node) const override;
    int Image(NodeId node) const override;
    int CheckState(NodeId node) const override;
    void SetCheckState(NodeId node, int state) override;
    uintptr_t ItemData(NodeId node) const override;
    void SetItemData(NodeId node, uintptr_t data) override;
    NodeId Parent(NodeId node) const override;
    NodeId FirstChild(NodeId node) const override;
    NodeId NextSibling(NodeId node) const override;
    NodeId PreviousSibling(NodeId node) const override;
    NodeId FirstRoot() const override;
    void Select(NodeId node) override { m_selected = node; }
    NodeId Selected() const override { return m_selected; }
    void Expand(NodeId node) override { m_expanded = node; }
    NodeId Expanded() const { return m_expanded; }
    // The children of a node (0: the top level), in order.
    std::vector<NodeId> Children(NodeId node) const;
    size_t NodeCount() const;

private:
    struct Node {
        std::string text;
        int image = 0;
        int selected_image = 0;
        int check = kUnchecked;
        uintptr_t data = 0;
        NodeId parent = 0;
        std::vector<NodeId> children;
        bool alive = true;
    };
    const Node* find(NodeId id) const;
    Node* find(NodeId id);
    std::vector<NodeId>& siblings_of(NodeId id);
    const std::vector<NodeId>& siblings_of(NodeId id) const;
    void erase_subtree(NodeId id);

    // Node ids are 1-based indexes into m_nodes; deleted nodes stay as tombstones.
    std::vector<Node> m_nodes;
    std::vector<NodeId> m_top;
    NodeId m_selected = 0;
    NodeId m_expanded = 0;
};

class MemoryResultList final : public ResultList {
public:
    size_t AppendRow(const std::string& name, const std::string& size, const std::string& time,
                     uintptr_t data) override;
    void DeleteRow(size_t row) override;
    void Clear() override { m_rows.clear(); }
    size_t RowCount() const override { return m_rows.size(); }
    std::string Text(size_t row, int column) const override;
    int CheckState(size_t row) const override;
    void SetCheckState(size_t row, int state) override;
    uintptr_t ItemData(size_t row) const override;

private:
    struct Row {
        std::string text[3];
        int check = kUnchecked;
        uintptr_t data = 0;
    };
    std::vector<Row> m_rows;
};

// Progress that goes nowhere (tests) or is recorded.
class NullProgress final : public ProgressSink {
public:
    void SetProgress(int percent) override { last_percent = percent; }
    void SetStatusText(const std::string& text) override { last_status = text; }
    bool StopRequested() const override { return stop.load(); }
    int last_percent = -1;
    std::string last_status;
    std::atomic<bool> stop{false};
};

class NullLoading final : public LoadingState {
public:
    void LoadingOn() override { loading = true; }
    void LoadingOff() override { loading = false; }
    bool loading = false;
};

} // namespace salvor
