// Stack<T>: a singly linked stack of element pointers with a cursor that
// walks from the top towards the bottom.
//
// As with List<T>, a subclass that changes DeleteElement must call Clear()
// in its own destructor.
#ifndef LUMO_CORE_BASE_STACK_H_
#define LUMO_CORE_BASE_STACK_H_

#include <cstdint>

namespace lumo {

template <typename T>
class Stack {
 public:
  explicit Stack(bool owns_elements = false) : owns_(owns_elements) {}
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  virtual ~Stack() { Clear(); }

  virtual int32_t Count() const { return count_; }

  // The new node becomes top and cursor.
  virtual void Push(T* element) {
    top_ = new Node{top_, element};
    cursor_ = top_;
    ++count_;
  }

  // Removes every node above the cursor (deleting their elements when the
  // stack owns them), then the cursor node itself, whose element is returned
  // undeleted. The new top becomes the cursor. Null when there is no cursor.
  virtual T* PopToCursor() {
    if (cursor_ == nullptr) return nullptr;
    Node* stop = cursor_;
    while (top_ != stop) {
      Node* n = top_;
      top_ = n->next;
      if (owns_ && n->element) DeleteElement(n->element);
      delete n;
      --count_;
    }
    T* element = stop->element;
    top_ = stop->next;
    delete stop;
    --count_;
    cursor_ = top_;
    return element;
  }

  // Moves the cursor to the top and returns its element.
  virtual T* Top() {
    cursor_ = top_;
    return top_ ? top_->element : nullptr;
  }

  // Moves the cursor one node towards the bottom.
  virtual T* Next() {
    if (cursor_ == nullptr) return nullptr;
    cursor_ = cursor_->next;
    return cursor_ ? cursor_->element : nullptr;
  }

  virtual T* Current() { return cursor_ ? cursor_->element : nullptr; }

  virtual void Clear() {
    Node* n = top_;
    top_ = cursor_ = nullptr;
    count_ = 0;
    while (n) {
      Node* next = n->next;
      if (owns_ && n->element) DeleteElement(n->element);
      delete n;
      n = next;
    }
  }

  virtual void DeleteElement(T* element) { delete element; }

 protected:
  struct Node {
    Node* next;  // towards the bottom
    T* element;
  };

  bool owns_;
  int32_t count_ = 0;
  Node* top_ = nullptr;
  Node* cursor_ = nullptr;
};

}  // namespace lumo

#endif  // LUMO_CORE_BASE_STACK_H_
