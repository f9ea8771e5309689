/*
 * kxctl.h - the container-management library libkxctl.so.1 as libkxnet_ct
 * uses it: container ids, configuration files and their parameters, and
 * running a function inside a running container.  This tree ships a stand-in
 * built on Linux network namespaces; the platform's own library replaces it.
 * The stand-in keeps container <ctid> in ${KXNET_ROOT}/etc/kxctl/<ctid>.conf
 * (lines ROOT=<dir> and VETH=<host-dev> [<network-id>]) and runs it while a
 * namespace is mounted on ${KXNET_ROOT}/run/netns/kxct<ctid>; the kxct tool
 * makes both.
 */
#ifndef KXCTL_H
#define KXCTL_H

#include <stdint.h>

#if defined(__GNUC__)
#define KXCTL_API __attribute__((visibility("default")))
#else
#define KXCTL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Selectors of kxctl_get_env_ids_by_state. */
#define KXCTL_ENV_ALL 1     /* every configured container */
#define KXCTL_ENV_RUNNING 4 /* running containers, and the host (id 0) */

/* Modes of kxctl_conf_open. */
#define KXCTL_CONF_READ 0
#define KXCTL_CONF_WRITE 1

typedef struct kxctl_link {
    struct kxctl_link *prev;
    struct kxctl_link *next;
} kxctl_link;

/* One virtual Ethernet interface of a container's configuration. */
typedef struct kxctl_veth {
    kxctl_link link;
    char dev_name[16]; /* host-side device name */
    char *network;     /* network id it is bound to, heap string or NULL */
} kxctl_veth;

/*
 * Parsed parameters of one container, all malloc'd (network strings may be
 * replaced by the caller with malloc'd copies).  veth_list is a head link of
 * its own; the entries are the links after it up to the head again, each the
 * first member of its kxctl_veth, in configuration order.
 */
typedef struct kxctl_env_param {
    char *root;            /* root directory; NULL when not configured */
    kxctl_link *veth_list; /* circular list head of kxctl_veth, or NULL */
} kxctl_env_param;

typedef struct kxctl_env_ids {
    uint32_t *ids;
    int count;
    int capacity;
} kxctl_env_ids;

typedef struct kxctl_conf kxctl_conf;

typedef int (*kxctl_env_fn)(void *arg);

KXCTL_API int kxctl_open(void);
KXCTL_API int kxctl_is_networkid_valid(const char *network_id);

KXCTL_API kxctl_env_ids *kxctl_alloc_env_ids(void);
KXCTL_API void kxctl_free_env_ids(kxctl_env_ids *ids);
KXCTL_API int kxctl_get_env_ids_by_state(kxctl_env_ids *ids, int selector);

KXCTL_API int kxctl_get_env_conf_path(uint32_t ctid, char *buf, int size);
KXCTL_API kxctl_conf *kxctl_conf_open(const char *path, int mode);
KXCTL_API int kxctl_conf_parse(uint32_t ctid, kxctl_conf *conf);
KXCTL_API kxctl_env_param *kxctl_conf_get_env_param(kxctl_conf *conf);
KXCTL_API int kxctl_conf_set_env_param(kxctl_conf *conf, kxctl_env_param *param);
KXCTL_API int kxctl_conf_save(kxctl_conf *conf, const char *path);
KXCTL_API void kxctl_free_env_param(kxctl_env_param *param);
KXCTL_API void kxctl_conf_close(kxctl_conf *conf);

/*
 * Runs fn(arg) in a child inside the container's network namespace with only
 * the descriptors of keep_fds (ended by -1) open; the child exits with fn's
 * result and is killed after timeout seconds.  Returns the child's pid
 * (negative on failure); *status is set to 0, and the caller waits for the
 * child with waitpid(pid, status, 0).
 */
KXCTL_API int kxctl_env_exec_fn_async(uint32_t ctid, const char *root, kxctl_env_fn fn, void *arg,
                                      int *keep_fds, int timeout, int flags, int *status);

#ifdef __cplusplus
}
#endif

#endif /* KXCTL_H */
