#pragma once

// For the classes that own a resource (a file, a database handle, a thread): never copied.
#define QV_NO_COPY(Class)                                                                          \
    Class(const Class &) = delete;                                                                 \
    Class &operator=(const Class &) = delete;
