/* The public header compiles as C11 and its records read as documented. */
#include "kxnet_ct.h"

#include <stddef.h>
#include <stdio.h>

_Static_assert(offsetof(kxnet_network, link) == 0, "link first");
_Static_assert(sizeof(((kxnet_network *)0)->bridge) == 16, "IFNAMSIZ bridge");
_Static_assert(offsetof(kxnetif_info, mask) == 0, "mask first");
_Static_assert(KXNETIF_ALL == 63, "all kinds");

int main(void) {
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, NULL, "net", NULL, 0, 0);
    if (filter == NULL || filter->network_id == NULL || filter->bridge != NULL) return 1;
    kxnet_release_filter(filter);
    kxnet_release_filter(NULL);
    printf("header compiles as C11; filter round trip through the shared object\n");
    return 0;
}
