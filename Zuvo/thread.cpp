/* Thread primitives on POSIX threads: the lock, thread identity, thread
 * creation and per-thread storage keys.
 *
 * A lock is a binary semaphore, not an owner-tracking mutex: any thread may
 * release it (the interpreter lock is taken by one thread and handed over
 * by another).  It is a flag guarded by a mutex, with a condition variable
 * on which waiters sleep until the flag drops.
 *
 * Storage keys: every (thread, key, value) entry of every key sits in one
 * singly linked list guarded by keymutex, and every key function does all
 * its work under it: handing out the next key number, and reading an
 * entry's value, which a concurrent delete may free.  A thread's first
 * value for a key stays: setting it again is a no-op, which is what the
 * automatic lock state relies on when a thread state is stored for a
 * thread once. */
#include "zuvo.h"

#include <atomic>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

struct lock_record {
    char locked; /* 1 while held */
    pthread_cond_t lock_released;
    pthread_mutex_t mut;
};

/* Reports a failed POSIX call the way the lock functions do: on standard
 * error, naming the call, with the error number's text. */
void check_status(int status, const char *name)
{
    if (status != 0) {
        errno = status;
        perror(name);
    }
}

struct key_entry {
    key_entry *next;
    unsigned long id;
    int key;
    void *value;
};

key_entry *keyhead = nullptr;
int nkeys = 0;

/* keymutex is made by the first ZvThread_create_key, which several threads
 * may call at once: pthread_once makes exactly one lock, and the other key
 * functions, which may run before any key exists, load the pointer with
 * acquire so that they see the lock whole or not at all. */
std::atomic<ZvThread_type_lock> keymutex{nullptr};
pthread_once_t keymutex_once = PTHREAD_ONCE_INIT;

void make_keymutex() { keymutex.store(ZvThread_allocate_lock(), std::memory_order_release); }

ZvThread_type_lock get_keymutex() { return keymutex.load(std::memory_order_acquire); }

/* The calling thread's entry for `key`, optionally creating it with
 * `value` (a NULL value creates nothing).  Caller holds keymutex. */
key_entry *find_key(int key, void *value)
{
    unsigned long id = ZvThread_get_thread_ident();
    for (key_entry *p = keyhead; p != nullptr; p = p->next)
        if (p->id == id && p->key == key) return p;
    if (value == nullptr) return nullptr;
    auto *p = (key_entry *)malloc(sizeof(key_entry));
    if (p == nullptr) return nullptr;
    p->id = id;
    p->key = key;
    p->value = value;
    p->next = keyhead;
    keyhead = p;
    return p;
}

/* Unlinks the entries for `key` (of the calling thread only, or of all). */
void remove_entries(int key, bool this_thread_only)
{
    unsigned long id = ZvThread_get_thread_ident();
    ZvThread_type_lock mutex = get_keymutex();
    ZvThread_acquire_lock(mutex, WAIT_LOCK);
    key_entry **q = &keyhead;
    while (*q != nullptr) {
        key_entry *p = *q;
        if (p->key == key && (!this_thread_only || p->id == id)) {
            *q = p->next;
            free(p);
            if (this_thread_only) break;
        } else {
            q = &p->next;
        }
    }
    ZvThread_release_lock(mutex);
}

struct start_record {
    void (*func)(void *);
    void *arg;
};

void *thread_trampoline(void *raw)
{
    start_record rec = *(start_record *)raw;
    free(raw);
    rec.func(rec.arg);
    return nullptr;
}

} // namespace

extern "C" {

ZvThread_type_lock ZvThread_allocate_lock(void)
{
    auto *lock = (lock_record *)calloc(1, sizeof(lock_record));
    if (lock == nullptr) return nullptr;
    lock->locked = 0;
    int status = pthread_mutex_init(&lock->mut, nullptr);
    check_status(status, "pthread_mutex_init");
    if (status != 0) {
        free(lock);
        return nullptr;
    }
    status = pthread_cond_init(&lock->lock_released, nullptr);
    check_status(status, "pthread_cond_init");
    if (status != 0) {
        pthread_mutex_destroy(&lock->mut);
        free(lock);
        return nullptr;
    }
    return (ZvThread_type_lock)lock;
}

void ZvThread_free_lock(ZvThread_type_lock raw)
{
    auto *lock = (lock_record *)raw;
    if (lock == nullptr) return;
    check_status(pthread_mutex_destroy(&lock->mut), "pthread_mutex_destroy");
    check_status(pthread_cond_destroy(&lock->lock_released), "pthread_cond_destroy");
    free(lock);
}

int ZvThread_acquire_lock(ZvThread_type_lock raw, int waitflag)
{
    auto *lock = (lock_record *)raw;
    int status = pthread_mutex_lock(&lock->mut);
    check_status(status, "pthread_mutex_lock[1]");
    if (status != 0) return 0;
    int success = lock->locked == 0;
    if (!success && waitflag) {
        /* Wait until the flag drops; spurious wake-ups just loop. */
        while (lock->locked) {
            status = pthread_cond_wait(&lock->lock_released, &lock->mut);
            check_status(status, "pthread_cond_wait");
            if (status != 0) break;
        }
        success = status == 0;
    }
    if (success) lock->locked = 1;
    status = pthread_mutex_unlock(&lock->mut);
    check_status(status, "pthread_mutex_unlock[1]");
    if (status != 0 && success) {
        /* Taken but the mutex is wedged: report failure, drop the flag. */
        lock->locked = 0;
        success = 0;
    }
    return success;
}

void ZvThread_release_lock(ZvThread_type_lock raw)
{
    auto *lock = (lock_record *)raw;
    int status = pthread_mutex_lock(&lock->mut);
    check_status(status, "pthread_mutex_lock[3]");
    lock->locked = 0;
    status = pthread_mutex_unlock(&lock->mut);
    check_status(status, "pthread_mutex_unlock[3]");
    /* Wake one waiter; it re-checks the flag under the mutex. */
    check_status(pthread_cond_signal(&lock->lock_released), "pthread_cond_signal");
}

unsigned long ZvThread_get_thread_ident(void) { return (unsigned long)pthread_self(); }

long ZvThread_start_new_thread(void (*func)(void *), void *arg)
{
    auto *rec = (start_record *)malloc(sizeof(start_record));
    if (rec == nullptr) return -1;
    rec->func = func;
    rec->arg = arg;
    pthread_attr_t attrs;
    if (pthread_attr_init(&attrs) != 0) {
        free(rec);
        return -1;
    }
    pthread_attr_setscope(&attrs, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setdetachstate(&attrs, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    int status = pthread_create(&th, &attrs, thread_trampoline, rec);
    pthread_attr_destroy(&attrs);
    if (status != 0) {
        free(rec);
        return -1;
    }
    return (long)th;
}

int ZvThread_create_key(void)
{
    pthread_once(&keymutex_once, make_keymutex);
    ZvThread_type_lock mutex = get_keymutex();
    if (mutex == nullptr) return 0;
    ZvThread_acquire_lock(mutex, WAIT_LOCK);
    int key = ++nkeys;
    ZvThread_release_lock(mutex);
    return key;
}

void ZvThread_delete_key(int key)
{
    if (get_keymutex() == nullptr) return;
    remove_entries(key, false);
}

int ZvThread_set_key_value(int key, void *value)
{
    ZvThread_type_lock mutex = get_keymutex();
    if (mutex == nullptr) return -1;
    ZvThread_acquire_lock(mutex, WAIT_LOCK);
    key_entry *p = find_key(key, value);
    ZvThread_release_lock(mutex);
    return p == nullptr ? -1 : 0;
}

void *ZvThread_get_key_value(int key)
{
    ZvThread_type_lock mutex = get_keymutex();
    if (mutex == nullptr) return nullptr;
    /* The value is read before the lock drops: a ZvThread_delete_key in
     * another thread may free the entry right after. */
    ZvThread_acquire_lock(mutex, WAIT_LOCK);
    key_entry *p = find_key(key, nullptr);
    void *value = p == nullptr ? nullptr : p->value;
    ZvThread_release_lock(mutex);
    return value;
}

void ZvThread_delete_key_value(int key)
{
    if (get_keymutex() == nullptr) return;
    remove_entries(key, true);
}

} // extern "C"
