// A counted, doubly linked list whose links live inside the elements, so that moving an element
// between lists never allocates. Insertion is at the head only (free lists are last-in
// first-out); removal of any element is constant-time.
//
// An element type T holds a `CIntrusiveList<T>::ListLink m_listLink` and makes the list a friend.
// An element is in at most one list at a time. Not thread-safe: the owner's lock guards it.
#pragma once

#include <cstddef>

#include "win32/Exception.h"

namespace Tarnwick {
namespace Win32 {

template <class T>
class CIntrusiveList {
public:
    struct ListLink {
        T *pNext;
        T *pPrev;
        CIntrusiveList *pList;
    };

    CIntrusiveList() : m_pHead(nullptr), m_count(0) {}

    CIntrusiveList(const CIntrusiveList &) = delete;
    CIntrusiveList &operator=(const CIntrusiveList &) = delete;

    static void ClearLink(T *pElement)
    {
        pElement->m_listLink.pNext = nullptr;
        pElement->m_listLink.pPrev = nullptr;
        pElement->m_listLink.pList = nullptr;
    }

    void PushHead(T *pElement)
    {
        if (pElement->m_listLink.pList)
            throw CException("CIntrusiveList::PushHead()", "Element is already in a list");
        ListLink &link = pElement->m_listLink;
        link.pNext = m_pHead;
        link.pPrev = nullptr;
        link.pList = this;
        if (m_pHead)
            m_pHead->m_listLink.pPrev = pElement;
        m_pHead = pElement;
        ++m_count;
    }

    // The head, removed from the list; null when the list is empty.
    T *PopHead()
    {
        // Unlinked here rather than through Erase: the head has no predecessor, so the head
        // pointer always moves on (the analyzer cannot prove that through Erase's branch).
        T *pElement = m_pHead;
        if (!pElement)
            return nullptr;
        m_pHead = pElement->m_listLink.pNext;
        if (m_pHead)
            m_pHead->m_listLink.pPrev = nullptr;
        ClearLink(pElement);
        --m_count;
        return pElement;
    }

    void Erase(T *pElement)
    {
        ListLink &link = pElement->m_listLink;
        if (link.pList != this)
            throw CException("CIntrusiveList::Erase()", "Element is not in this list");
        if (link.pPrev)
            link.pPrev->m_listLink.pNext = link.pNext;
        else
            m_pHead = link.pNext;
        if (link.pNext)
            link.pNext->m_listLink.pPrev = link.pPrev;
        ClearLink(pElement);
        --m_count;
    }

    T *Head() const { return m_pHead; }
    static T *Next(const T *pElement) { return pElement->m_listLink.pNext; }
    bool Contains(const T *pElement) const { return pElement->m_listLink.pList == this; }
    size_t Count() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

private:
    T *m_pHead;
    size_t m_count;
};

}  // namespace Win32
}  // namespace Tarnwick
