/*
 * Mode 0: the signature engine searches the partition; its records stay in
 * the engine and are read through the engine.  A build without the engine
 * finds nothing in this mode.
 */
#include "varn_i.h"

#if VARN_HAVE_SENNET
#include "sennet.h"
#endif

void hfsp_deep_search(Partiton_Struct *part)
{
#if VARN_HAVE_SENNET
    if (part) {
        g_hfsp.deepHeld = true;
        Search_FileHeadRceoverMian(part);
    }
#else
    (void)part;
#endif
}

void hfsp_deep_exit(void)
{
#if VARN_HAVE_SENNET
    if (g_hfsp.deepHeld)
        Search_FileHeadRceoverMian_exit();
#endif
    g_hfsp.deepHeld = false;
}
