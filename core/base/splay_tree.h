// SplayTree: a top-down splay tree (Sleator and Tarjan) of intrusive nodes.
//
// Node must have public `left` and `right` pointers. Derived supplies
//   int Compare(Key key, const Node& node) const
// (negative when the key sorts before the node's key) through CRTP, so the
// comparison inlines on the hot path. Equal keys are accepted by Insert;
// callers look a key up first when they need it unique.
//
// Whole-tree walks recurse while the tree holds fewer than kRecursionLimit
// nodes and use an explicit stack from there on: a splay tree can be a
// single long path, which would overflow the machine stack.
#ifndef LUMO_CORE_BASE_SPLAY_TREE_H_
#define LUMO_CORE_BASE_SPLAY_TREE_H_

#include <cstdint>
#include <vector>

namespace lumo {

template <typename Derived, typename Node, typename Key>
class SplayTree {
 public:
  static constexpr int32_t kRecursionLimit = 100;

  explicit SplayTree(bool owns_nodes = true) : owns_(owns_nodes) {}
  SplayTree(const SplayTree&) = delete;
  SplayTree& operator=(const SplayTree&) = delete;
  ~SplayTree() { Clear(); }

  int32_t Count() const { return count_; }
  Node* Root() const { return root_; }
  bool OwnsNodes() const { return owns_; }

  void Insert(Node* node, Key key) {
    node->left = node->right = nullptr;
    if (root_ != nullptr) {
      root_ = Splay(key, root_);
      if (Self().Compare(key, *root_) < 0) {
        node->left = root_->left;
        node->right = root_;
        root_->left = nullptr;
      } else {
        node->right = root_->right;
        node->left = root_;
        root_->right = nullptr;
      }
    }
    root_ = node;
    ++count_;
  }

  // Unlinks and returns the node with the key (not deleted), or null.
  Node* Remove(Key key) {
    if (root_ == nullptr) return nullptr;
    root_ = Splay(key, root_);
    if (Self().Compare(key, *root_) != 0) return nullptr;
    Node* removed = root_;
    if (removed->right == nullptr) {
      root_ = removed->left;
    } else {
      // The in-order successor (the minimum of the right subtree) rises to
      // the top of that subtree with no left child, and takes the place.
      Node* successor = Splay(key, removed->right);
      successor->left = removed->left;
      root_ = successor;
    }
    removed->left = removed->right = nullptr;
    --count_;
    return removed;
  }

  Node* Find(Key key) {
    if (root_ == nullptr) return nullptr;
    root_ = Splay(key, root_);
    return Self().Compare(key, *root_) == 0 ? root_ : nullptr;
  }

  // The smallest node greater than the key.
  Node* Next(Key key) {
    if (root_ == nullptr) return nullptr;
    root_ = Splay(key, root_);
    if (Self().Compare(key, *root_) < 0) return root_;
    Node* n = root_->right;
    if (n == nullptr) return nullptr;
    while (n->left) n = n->left;
    return n;
  }

  // The greatest node smaller than the key.
  Node* Previous(Key key) {
    if (root_ == nullptr) return nullptr;
    root_ = Splay(key, root_);
    if (Self().Compare(key, *root_) > 0) return root_;
    Node* n = root_->left;
    if (n == nullptr) return nullptr;
    while (n->right) n = n->right;
    return n;
  }

  Node* Min() const {
    Node* n = root_;
    if (n) {
      while (n->left) n = n->left;
    }
    return n;
  }

  Node* Max() const {
    Node* n = root_;
    if (n) {
      while (n->right) n = n->right;
    }
    return n;
  }

  // Removes every node, deleting them when the tree owns its nodes.
  void Clear() {
    Node* root = root_;
    int32_t count = count_;
    root_ = nullptr;
    count_ = 0;
    if (root == nullptr) return;
    if (!owns_) return;
    if (count < kRecursionLimit) {
      DeleteRecursive(root);
      return;
    }
    // Rotate left spines away so that every node is freed after its
    // children have been detached, without any stack at all.
    Node* n = root;
    while (n) {
      if (n->left) {
        Node* l = n->left;
        n->left = l->right;
        l->right = n;
        n = l;
      } else {
        Node* next = n->right;
        delete n;
        n = next;
      }
    }
  }

  // Calls visit(node) for every node in ascending key order. The tree must
  // not change during the walk.
  template <typename Visit>
  void InOrder(Visit&& visit) const {
    if (root_ == nullptr) return;
    if (count_ < kRecursionLimit) {
      InOrderRecursive(root_, visit);
      return;
    }
    std::vector<Node*> stack;
    Node* n = root_;
    while (n || !stack.empty()) {
      while (n) {
        stack.push_back(n);
        n = n->left;
      }
      n = stack.back();
      stack.pop_back();
      visit(n);
      n = n->right;
    }
  }

  // Calls visit(node) for every node of the subtree, in no particular order.
  template <typename Visit>
  static void Walk(Node* subtree, int32_t size_hint, Visit&& visit) {
    if (subtree == nullptr) return;
    if (size_hint < kRecursionLimit) {
      WalkRecursive(subtree, visit);
      return;
    }
    std::vector<Node*> stack;
    stack.push_back(subtree);
    while (!stack.empty()) {
      Node* n = stack.back();
      stack.pop_back();
      if (n->right) stack.push_back(n->right);
      if (n->left) stack.push_back(n->left);
      visit(n);
    }
  }

  // Builds a tree of the same shape into `into` (which must be empty),
  // making each new node with make(const Node&). Should make throw, `into`
  // keeps the nodes made so far, every one linked, and clears them safely.
  template <typename Make>
  void CopyShapeInto(Derived& into, Make&& make) const {
    into.Clear();
    if (root_ == nullptr) return;
    // An upper bound of what `into` holds while it fills: should a copy
    // fail, Clear then picks the stackless way for a tree that may be deep.
    into.count_ = count_;
    if (count_ < kRecursionLimit) {
      CopyRecursive(root_, &into.root_, make);
    } else {
      struct Pending {
        const Node* from;
        Node** slot;
      };
      std::vector<Pending> stack;
      stack.push_back({root_, &into.root_});
      while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        Node* copy = make(*p.from);
        copy->left = copy->right = nullptr;
        *p.slot = copy;
        if (p.from->right) stack.push_back({p.from->right, &copy->right});
        if (p.from->left) stack.push_back({p.from->left, &copy->left});
      }
    }
    into.count_ = count_;
  }

 protected:
  Derived& Self() { return static_cast<Derived&>(*this); }

  // Brings the node with the key, or the last node met on the way to where
  // it would be, to the root of the subtree t.
  Node* Splay(Key key, Node* t) {
    Node* left_root = nullptr;
    Node** left_hook = &left_root;  // where the next node joins the left tree
    Node* right_root = nullptr;
    Node** right_hook = &right_root;
    for (;;) {
      int c = Self().Compare(key, *t);
      if (c < 0) {
        if (t->left == nullptr) break;
        if (Self().Compare(key, *t->left) < 0) {  // rotate right
          Node* y = t->left;
          t->left = y->right;
          y->right = t;
          t = y;
          if (t->left == nullptr) break;
        }
        *right_hook = t;  // link right
        right_hook = &t->left;
        t = t->left;
      } else if (c > 0) {
        if (t->right == nullptr) break;
        if (Self().Compare(key, *t->right) > 0) {  // rotate left
          Node* y = t->right;
          t->right = y->left;
          y->left = t;
          t = y;
          if (t->right == nullptr) break;
        }
        *left_hook = t;  // link left
        left_hook = &t->right;
        t = t->right;
      } else {
        break;
      }
    }
    *left_hook = t->left;
    *right_hook = t->right;
    t->left = left_root;
    t->right = right_root;
    return t;
  }

  Node* root_ = nullptr;
  int32_t count_ = 0;

 private:
  static void DeleteRecursive(Node* n) {
    if (n->left) DeleteRecursive(n->left);
    if (n->right) DeleteRecursive(n->right);
    delete n;
  }

  template <typename Visit>
  static void InOrderRecursive(Node* n, Visit& visit) {
    if (n->left) InOrderRecursive(n->left, visit);
    visit(n);
    if (n->right) InOrderRecursive(n->right, visit);
  }

  template <typename Visit>
  static void WalkRecursive(Node* n, Visit& visit) {
    visit(n);
    if (n->left) WalkRecursive(n->left, visit);
    if (n->right) WalkRecursive(n->right, visit);
  }

  // Each copy is linked before its children are made.
  template <typename Make>
  static void CopyRecursive(const Node* from, Node** slot, Make& make) {
    Node* copy = make(*from);
    copy->left = copy->right = nullptr;
    *slot = copy;
    if (from->left) CopyRecursive(from->left, &copy->left, make);
    if (from->right) CopyRecursive(from->right, &copy->right, make);
  }

  bool owns_;
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_SPLAY_TREE_H_
