// What the request router serves from: one consistent snapshot of the
// security data and its rendered documents, whichever store holds them (the
// JSON data file, or a PostgreSQL database).
#pragma once

#include <memory>
#include <string>

#include "server/documents.h"
#include "server/secdata.h"

namespace qrn::secd {

// One version of the data; never changed once published, so a request
// renders every answer from the same version however long it takes.
struct Snapshot {
  SecurityData data;
  Documents documents;
};

class Store {
 public:
  virtual ~Store() = default;

  // The data to answer a request with; never null once the store loaded.
  virtual std::shared_ptr<const Snapshot> Current() = 0;

  // Whether this instance serves the data currently in the store (a load
  // balancer's health check asks this). False with *why when it serves an
  // older version: the data file changed into something unreadable or
  // malformed, or the database is out of reach or its data not loaded.
  virtual bool Servable(std::string* why) = 0;
};

}  // namespace qrn::secd
