#pragma once
// Audience evaluation: for every audience of the measurement configuration a
// bit set saying which of its filters were evaluated (status) and which
// matched (result), kept in the measurement database and handed to each
// outgoing bundle. The server decides membership; this evaluates the single
// filters. Holds no state besides the database; worker queue only, no locks.
//
// Filter f owns bit f mod 64 of word f div 64 in both word arrays; a missing
// word counts as 0. Every operation answers NO (logged) when the database
// fails, leaving whatever the database already holds.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "services/measurement/APMAudienceTimestampsCache.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMFilterResult.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMValue.h"

class APMDatabase;

class APMAudience {
  public:
    using LeafResults = std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>;

    // The database is the engine's and outlives this object.
    explicit APMAudience(APMDatabase* database) : database_(database) {}
    static std::shared_ptr<APMAudience> initWithDatabase(APMDatabase* database) {
        return std::make_shared<APMAudience>(database);
    }
    APMDatabase* database() const { return database_; }

    // Saves the audiences' filters in place of the stored ones; invalid
    // audiences are skipped, too many audiences save nothing (YES). The
    // messages' names are rewritten to their short forms. Run it in a
    // transaction: a NO leaves earlier steps done.
    bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
    // Past the configured maximum, deletes the results of audiences that
    // neither have stored filters nor are among `audienceIDs`.
    bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs);

    // A null cache means a fresh one for this call.
    bool evaluateFiltersForEvent(const APMEvent& event,
                                 const std::optional<APMEventAggregates>& eventAggregates,
                                 APMAudienceTimestampsCache* cache);
    bool evaluateFiltersForEventName(const std::string& eventName,
                                     const APMEventParameters& eventParameters,
                                     const std::optional<APMEventAggregates>& eventAggregates,
                                     double eventTimestamp, APMAudienceTimestampsCache* cache);
    bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                        APMAudienceTimestampsCache* cache,
                                        double evaluationTimestamp);
    // Without an evaluation time the property's last-set time is used.
    bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                            APMAudienceTimestampsCache* cache,
                                            std::optional<double> evaluationTime);

    // Every audience with some status bit set, its stored current results
    // then becoming its previous results. `out` is nullopt on failure.
    bool resultsForBundling(std::optional<LeafResults>& out);
    // At session start: clears the bits and timestamps of session-scoped
    // filters; an audience left with no status bit loses its result.
    bool clearEvaluationResultsForSessionScopedFilters();

    static bool isFilterResultTrueForFilterID(const std::optional<APMFilterResult>& result,
                                              std::int32_t filterID);
    // The audience's result with the filter's bits set from `newResult`
    // (status set when given, result set when true) and the cache's
    // timestamps for the audience.
    static APMFilterResult updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                                               const std::optional<APMFilterResult>& current,
                                               std::optional<bool> newResult,
                                               const APMAudienceTimestampsCache& cache);

  private:
    APMDatabase* database_;
};
