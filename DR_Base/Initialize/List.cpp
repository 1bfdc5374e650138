/*
 * The two global lists (devices, partitions) and their operations.
 *
 * The head node's prev points at the head itself; every other node's prev
 * points at its predecessor; the last node's next is null.
 */
#include "merrow_i.h"
#include "DiskImage.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern "C" {
MERROW_EXPORT _Device_List *GlobPointer = nullptr;
MERROW_EXPORT _Device_List *GlobPointerPartiton = nullptr;
MERROW_EXPORT void *GlobPointerArry[16] = {};
MERROW_EXPORT int32_t DeviceStructSize = (int32_t)sizeof(Physics_Device_Struct);
MERROW_EXPORT int32_t PartitonStructSize = (int32_t)sizeof(Partiton_Struct);
}

static void append_node(_Device_List **head, void *record)
{
    auto *node = static_cast<_Device_List *>(MALLOC(sizeof(_Device_List)));
    node->data = record;
    node->next = nullptr;
    if (!*head) {
        node->prev = node;
        *head = node;
        return;
    }
    _Device_List *tail = *head;
    while (tail->next)
        tail = tail->next;
    tail->next = node;
    node->prev = tail;
}

void Free_Dev(Physics_Device_Struct *dev)
{
    if (!dev)
        return;
    if (dev->Cache) {
        free(dev->Cache->Buffer);
        dev->Cache->Buffer = nullptr;
    }
    sv_image_detach(dev);
    if (dev->Fd >= 0) {
        sv_medium_close(dev->Fd);
        close(dev->Fd);
    }
    free(dev->Cache);
    free(dev);
}

void Free_Par(Partiton_Struct *part)
{
    if (!part)
        return;
    free(part->ExtraBuf);
    free(part->BootData);
    free(part);
}

void Add_Dev_List(Physics_Device_Struct *dev)
{
    if (!dev)
        return;
    for (_Device_List *n = GlobPointer; n; n = n->next) {
        auto *d = static_cast<Physics_Device_Struct *>(n->data);
        if (d->DiskSize == dev->DiskSize &&
            strncmp(d->DevName, dev->DevName, SV_DEVNAME_LEN) == 0) {
            Free_Dev(dev);
            return;
        }
    }
    append_node(&GlobPointer, dev);
}

static bool same_partition(const Partiton_Struct *a, const Partiton_Struct *b)
{
    return a->PartOffset == b->PartOffset && a->FsType == b->FsType &&
           a->PartSize == b->PartSize && a->AccessMode == b->AccessMode &&
           a->DevNum == b->DevNum;
}

int Add_Partition_List(Partiton_Struct *part)
{
    if (!part)
        return 0;
    if (Inquiry_Partiton_List(part)) {
        /* A private device copy belongs to the record being dropped. */
        if (part->AccessMode == '?' && part->Device && part->Device->OwnerPartition == part)
            free(part->Device);
        Free_Par(part);
        return 1;
    }
    append_node(&GlobPointerPartiton, part);
    return 1;
}

_Device_List *Inquiry_Device_List(const Physics_Device_Struct *dev)
{
    if (!dev)
        return nullptr;
    for (_Device_List *n = GlobPointer; n; n = n->next)
        if (static_cast<Physics_Device_Struct *>(n->data)->Fd == dev->Fd)
            return n;
    return nullptr;
}

_Device_List *Inquiry_Partiton_List(const Partiton_Struct *part)
{
    if (!part)
        return nullptr;
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next)
        if (same_partition(static_cast<Partiton_Struct *>(n->data), part))
            return n;
    return nullptr;
}

static bool unlink_from(_Device_List **head, _Device_List *node)
{
    for (_Device_List *n = *head; n; n = n->next) {
        if (n != node)
            continue;
        if (n == *head) {
            *head = n->next;
            if (*head)
                (*head)->prev = *head;
        } else {
            n->prev->next = n->next;
            if (n->next)
                n->next->prev = n->prev;
        }
        n->prev = n->next = nullptr;
        return true;
    }
    return false;
}

int RemoveList(_Device_List *node)
{
    if (!node)
        return 0;
    if (unlink_from(&GlobPointer, node))
        return 1;
    if (unlink_from(&GlobPointerPartiton, node))
        return 1;
    return 0;
}

void Insert_DevOrPartiton_List(_Device_List *node, _Device_List *add)
{
    if (!node || !add)
        return;
    add->prev = node;
    add->next = node->next;
    if (node->next)
        node->next->prev = add;
    node->next = add;
}

void Free_List(void *record)
{
    if (!record)
        return;
    /* Look the record up by identity first: a private device copy shares
     * its parent's descriptor, so a lookup by Fd alone would find the parent. */
    for (_Device_List *n = GlobPointer; n; n = n->next) {
        if (n->data == record) {
            RemoveList(n);
            Free_Dev(static_cast<Physics_Device_Struct *>(record));
            free(n);
            return;
        }
    }
    for (_Device_List *n = GlobPointerPartiton; n; n = n->next) {
        if (n->data == record) {
            RemoveList(n);
            Free_Par(static_cast<Partiton_Struct *>(record));
            free(n);
            return;
        }
    }
}

void FreeDiskOpera_Partition(void *block)
{
    free(block);
}
