#include "hnsw/layer_scratch.hpp"

namespace halqen {

LayerScratch& thread_layer_scratch() {
  thread_local LayerScratch scratch;
  return scratch;
}

}  // namespace halqen
