// A test-only extension module (`_thread_probe`): engine work run from many
// C++ threads at once with the interpreter lock released, for
// tests/core/test_pyhash.py.
#include <thread>
#include <vector>

#include "common/bindings.hpp"
#include "core/ast.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_thread_probe, m) {
  py::module_::import("core.ast");
  // Each of `threads` threads builds, for every text, the atom and the
  // constant of that name (their first builds ask the interpreter for the
  // string hash); returns per thread the list of the atoms' hashes.
  m.def("hash_names_in_threads", [](std::vector<std::string> texts, int threads) {
    std::vector<std::vector<std::int64_t>> hashes(static_cast<std::size_t>(threads));
    {
      py::gil_scoped_release released;
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&texts, &out = hashes[static_cast<std::size_t>(t)]] {
          for (const auto& text : texts) {
            out.push_back(core::PredicateApp::atom(text)->pred().hash());
            core::Constant::make(text);
          }
        });
      }
      for (auto& w : workers) w.join();
    }
    return hashes;
  });
}
