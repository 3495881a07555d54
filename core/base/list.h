// List<T>: a doubly linked list of element pointers with a built-in cursor,
// and SearchableList<T, K>, which can also find an element by key.
//
// The list never copies its elements. A list created as owner deletes them
// on Clear and destruction through DeleteElement; a subclass that changes
// DeleteElement (reference-counted elements) must call Clear() in its own
// destructor, since the base destructor no longer sees the override.
#ifndef LUMO_CORE_BASE_LIST_H_
#define LUMO_CORE_BASE_LIST_H_

#include <cstdint>

namespace lumo {

template <typename T>
class List {
 public:
  // Where Insert and Remove act.
  enum Where { kHead = 0, kCursor = 1, kTail = 2 };

  explicit List(bool owns_elements = false) : owns_(owns_elements) {}
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  virtual ~List() { Clear(); }

  // The new node becomes the cursor. kCursor inserts before the cursor (at
  // the tail when there is no cursor).
  virtual void Insert(T* element, int where = kTail) {
    Node* node = new Node{nullptr, nullptr, element};
    Node* before = nullptr;  // node that will follow the new one
    if (where == kHead) {
      before = head_;
    } else if (where == kCursor) {
      before = cursor_;
    }
    if (before == nullptr) {
      node->previous = tail_;
      if (tail_) tail_->next = node;
      tail_ = node;
      if (!head_) head_ = node;
    } else {
      node->next = before;
      node->previous = before->previous;
      if (before->previous) {
        before->previous->next = node;
      } else {
        head_ = node;
      }
      before->previous = node;
    }
    cursor_ = node;
    ++count_;
  }

  // Unlinks the node and returns its element without deleting it; null when
  // there is no such node. Removing the cursor node moves the cursor on.
  virtual T* Remove(int where = kCursor) {
    Node* node = where == kHead ? head_ : where == kTail ? tail_ : cursor_;
    if (node == nullptr) return nullptr;
    return Unlink(node);
  }

  virtual int32_t Count() const { return count_; }

  // Finds an element by identity and makes it the cursor.
  virtual T* Find(const T* element) {
    for (Node* n = head_; n; n = n->next) {
      if (n->element == element) {
        cursor_ = n;
        return n->element;
      }
    }
    return nullptr;
  }

  virtual T* First() { return Select(head_); }
  virtual T* Last() { return Select(tail_); }
  virtual T* Current() { return cursor_ ? cursor_->element : nullptr; }
  virtual T* Next() { return cursor_ ? Select(cursor_->next) : nullptr; }
  virtual T* Previous() { return cursor_ ? Select(cursor_->previous) : nullptr; }

  // Removes every node, deleting the elements when the list owns them.
  virtual void Clear() {
    Node* n = head_;
    head_ = tail_ = cursor_ = nullptr;
    count_ = 0;
    while (n) {
      Node* next = n->next;
      if (owns_ && n->element) DeleteElement(n->element);
      delete n;
      n = next;
    }
  }

  virtual void DeleteElement(T* element) { delete element; }

  // Frees the nodes only; the elements are left alone.
  virtual void Empty() {
    Node* n = head_;
    head_ = tail_ = cursor_ = nullptr;
    count_ = 0;
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
  }

  bool OwnsElements() const { return owns_; }

 protected:
  struct Node {
    Node* previous;
    Node* next;
    T* element;
  };

  T* Select(Node* n) {
    cursor_ = n;
    return n ? n->element : nullptr;
  }

  T* Unlink(Node* node) {
    if (node->previous) {
      node->previous->next = node->next;
    } else {
      head_ = node->next;
    }
    if (node->next) {
      node->next->previous = node->previous;
    } else {
      tail_ = node->previous;
    }
    if (cursor_ == node) cursor_ = node->next;
    T* element = node->element;
    delete node;
    --count_;
    return element;
  }

  Node* Head() const { return head_; }

  bool owns_;
  int32_t count_ = 0;
  Node* head_ = nullptr;
  Node* cursor_ = nullptr;
  Node* tail_ = nullptr;
};

template <typename T, typename K>
class SearchableList : public List<T> {
 public:
  explicit SearchableList(bool owns_elements = false) : List<T>(owns_elements) {}

  // Walks from the head; the first element whose key matches becomes the
  // cursor and is returned. Null (and no cursor) when none matches.
  virtual T* FindKey(K key) {
    for (auto* n = this->head_; n; n = n->next) {
      if (KeyCompare(key, n->element) == 0) {
        this->cursor_ = n;
        return n->element;
      }
    }
    this->cursor_ = nullptr;
    return nullptr;
  }

  // 0 when the element's key matches.
  virtual int KeyCompare(K key, const T* element) const = 0;
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_LIST_H_
