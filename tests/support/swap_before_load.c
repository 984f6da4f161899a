/* Preloaded into the helper by a test: right before llama.cpp is asked to
   load a model, after the helper has checked its file, the file at
   DEBRINDLE_SWAP_PATH is replaced by DEBRINDLE_SWAP_WITH (renamed over it,
   as a program that updates a model does). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <llama.h>

struct llama_model* llama_model_load_from_splits(const char** paths, size_t n_paths, struct llama_model_params params) {
    const char* path = getenv("DEBRINDLE_SWAP_PATH");
    const char* with = getenv("DEBRINDLE_SWAP_WITH");
    if (path != NULL && with != NULL && rename(with, path) != 0) abort();
    __typeof__(llama_model_load_from_splits)* load = dlsym(RTLD_NEXT, __func__);
    return load(paths, n_paths, params);
}
