// norvane.quantum.dispatch.oruna1: the dispatch back end of the remote device service.
#include <nanobind/nanobind.h>

#include "oruna1/oruna1.hpp"
#include "support/module.hpp"

NB_MODULE(oruna1, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.dispatch.oruna1");
    oruna1::bind(m);
}
