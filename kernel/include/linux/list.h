#pragma once
// Intrusive doubly linked lists, as the kernel has them.
#include <linux/kernel.h>

struct list_head {
	struct list_head *next, *prev;
};

#define LIST_HEAD_INIT(name)                                                                                           \
	{                                                                                                              \
		&(name), &(name)                                                                                       \
	}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

inline void INIT_LIST_HEAD(struct list_head *list)
{
	list->next = list;
	list->prev = list;
}
inline bool list_empty(const struct list_head *head) { return head->next == head; }
inline void __list_add(struct list_head *n, struct list_head *prev, struct list_head *next)
{
	next->prev = n;
	n->next = next;
	n->prev = prev;
	prev->next = n;
}
inline void list_add(struct list_head *n, struct list_head *head) { __list_add(n, head, head->next); }
inline void list_add_tail(struct list_head *n, struct list_head *head) { __list_add(n, head->prev, head); }
inline void list_del_init(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
	INIT_LIST_HEAD(entry);
}
#define list_del			    list_del_init

#define list_entry(ptr, type, member)	    container_of(ptr, type, member)
#define list_first_entry(ptr, type, member) list_entry((ptr)->next, type, member)
#define list_for_each_entry(pos, head, member)                                                                         \
	for (pos = list_entry((head)->next, __typeof__(*pos), member); &pos->member != (head);                         \
	     pos = list_entry(pos->member.next, __typeof__(*pos), member))
