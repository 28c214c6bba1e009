// atomic_internal.h -- relaxed loads and stores of plain fields.
//
// Fields that one thread writes and others read without the lock that
// guards the writes (flags, counters, statistics) are accessed through these:
// each access is one untorn load or store with no ordering. Anything that
// publishes data to another thread uses acquire and release instead.
#ifndef NK_ATOMIC_INTERNAL_H
#define NK_ATOMIC_INTERNAL_H

namespace nk {

template <typename T>
inline T loadRelaxed(const T *p) {
  T v;
  __atomic_load(p, &v, __ATOMIC_RELAXED);
  return v;
}

template <typename T>
inline void storeRelaxed(T *p, T v) {
  __atomic_store(p, &v, __ATOMIC_RELAXED);
}

template <typename T>
inline void addRelaxed(T *p, T v) {
  __atomic_fetch_add(p, v, __ATOMIC_RELAXED);
}

}  // namespace nk

#endif  // NK_ATOMIC_INTERNAL_H
