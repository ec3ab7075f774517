// An intrusive doubly linked list with a count. The pools keep their idle and
// active objects on such lists; an object is on at most one list at a time.
// Not thread safe: the owner's lock guards it.
#pragma once

#include <cstddef>

namespace linkcore {

class CNodeList {
public:
    class Node {
    public:
        Node* Next() const { return m_next; }
        CNodeList* Owner() const { return m_list; }

    private:
        friend class CNodeList;
        Node* m_next = nullptr;
        Node* m_prev = nullptr;
        CNodeList* m_list = nullptr;
    };

    void PushFront(Node* node)
    {
        node->m_prev = nullptr;
        node->m_next = m_head;
        if (m_head != nullptr) {
            m_head->m_prev = node;
        }
        m_head = node;
        node->m_list = this;
        ++m_count;
    }

    Node* PopFront()
    {
        Node* node = m_head;
        if (node != nullptr) {
            Remove(node);
        }
        return node;
    }

    void Remove(Node* node)
    {
        if (node->m_list != this) {
            return;
        }
        if (node->m_prev != nullptr) {
            node->m_prev->m_next = node->m_next;
        } else {
            m_head = node->m_next;
        }
        if (node->m_next != nullptr) {
            node->m_next->m_prev = node->m_prev;
        }
        node->m_next = node->m_prev = nullptr;
        node->m_list = nullptr;
        --m_count;
    }

    Node* Head() const { return m_head; }
    std::size_t Count() const { return m_count; }
    bool Empty() const { return m_count == 0; }

private:
    Node* m_head = nullptr;
    std::size_t m_count = 0;
};

}  // namespace linkcore
