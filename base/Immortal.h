#pragma once

namespace tarnwick {

// Storage for a process-wide object that is built on first use and never destroyed:
//     static Immortal<T> immortal;
//     return immortal.object;
// The empty destructor leaves the object alone when static objects are destroyed at exit,
// so a thread that still uses it then does not find it gone. A T whose constructor is
// private names Immortal<T> a friend.
template <class T>
union Immortal {
    Immortal() : object() {}
    ~Immortal() {}
    T object;
};

}  // namespace tarnwick
