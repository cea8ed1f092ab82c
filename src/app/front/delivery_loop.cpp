#include "app/front/delivery_loop.h"

#include "app/front/delivery_pipeline.h"
#include "app/messenger/dispatcher.h"

namespace lomp {

int DeliveryJobs(const ProgramOptions& options, std::size_t recipients) {
  return recipients > 1 ? options.jobs : 1;
}

int deliverToList(const RecipientList& list, const std::string& message) {
  return deliverToList(list, message, DeliverMessage);
}

int deliverToList(const RecipientList& list, const std::string& message, const Deliverer& deliver) {
  int result = 4;
  DeliveryPipeline pipeline(deliver, DeliveryJobs(programOptions(), list.size()));
  pipeline.Submit(list, message, [&](int listResult) { result = listResult; });
  pipeline.Drain();
  return result;
}

}  // namespace lomp
