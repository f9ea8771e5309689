// The shape of the lists handed to callers: circular, doubly linked, with a
// head, every element beginning with its link; new elements go at the end.
#pragma once

#include "kxnet_ct.h"

namespace kx {

inline void list_init(kxnet_link &head) { head.prev = head.next = &head; }
inline bool list_empty(const kxnet_link &head) { return head.next == &head; }
// Appends `item` just before `head` (the end of the list).
inline void list_append(kxnet_link &head, kxnet_link &item) {
    item.prev = head.prev;
    item.next = &head;
    head.prev->next = &item;
    head.prev = &item;
}
inline void list_unlink(kxnet_link &item) {
    item.prev->next = item.next;
    item.next->prev = item.prev;
    item.prev = item.next = &item;
}

// Iterates the records of a list whose elements begin with their link:
//   for (kxnet_iface *i : records<kxnet_iface>(net->ifaces)) ...
// The next link is read before the body runs, so the body may free the
// current record.
template <class T> class records {
public:
    explicit records(kxnet_link &head) : head_(&head) {}
    class iterator {
    public:
        iterator(kxnet_link *at) : at_(at), next_(at->next) {}
        T *operator*() const { return reinterpret_cast<T *>(at_); }
        iterator &operator++() {
            at_ = next_;
            next_ = at_->next;
            return *this;
        }
        bool operator!=(const iterator &other) const { return at_ != other.at_; }

    private:
        kxnet_link *at_;
        kxnet_link *next_;
    };
    iterator begin() const { return iterator(head_->next); }
    iterator end() const { return iterator(head_); }

private:
    kxnet_link *head_;
};

} // namespace kx
