#include "auth/azure/TQCloudAuthAzureLib.h"

#include <chrono>
#include <ctime>
#include <new>

#include "auth/azure/internal/ClientAssertion.h"
#include "auth/azure/internal/ProviderState.h"
#include "auth/internal/TQCloudAuthLibAccess.h"
#include "internal/base/Decimal.h"
#include "platform/internal/ConfigFile.h"
#include "platform/internal/PgStore.h"
#include "platform/internal/StoreSettings.h"
#include "platform/internal/TqHome.h"

using TQCloudAuth::AzureProviderState;
using TQCloudAuth::FetchedToken;

namespace {

// [TokenCache] MaxScopes: how many scopes a provider keeps tokens for.
constexpr char kCacheSection[] = "TokenCache";
constexpr char kMaxScopesKey[] = "MaxScopes";

TQCloudAuth::AzureRequestCause CauseOf(TQCloudAuth::FetchCause cause) {
  switch (cause) {
    case TQCloudAuth::FetchCause::kNoneCached:
      return TQCloudAuth::AzureRequestCause::kNoneCached;
    case TQCloudAuth::FetchCause::kExpiring:
      return TQCloudAuth::AzureRequestCause::kExpiring;
    case TQCloudAuth::FetchCause::kEarlyRefresh:
      return TQCloudAuth::AzureRequestCause::kEarlyRefresh;
    case TQCloudAuth::FetchCause::kNone:
      break;
  }
  return TQCloudAuth::AzureRequestCause::kNone;
}

}  // namespace

TQCloudAuthAzureLib::TQCloudAuthAzureLib()
    : m_state(std::make_unique<AzureProviderState>()) {}

TQCloudAuthAzureLib::~TQCloudAuthAzureLib() = default;

int64_t TQCloudAuthAzureLib::WallClock() {
  return static_cast<int64_t>(std::time(nullptr));
}

CKoError TQCloudAuthAzureLib::Init(const TQCloudAuth::AzureArgs& args) {
  if (initialized) {
    return CKoError::Success();
  }
  const TQCloudAuth::BaseArgs baseArgs = args;
  CKoError st = TQCloudAuthLibInit(baseArgs);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  initialized = false;
  azureParams.reset(new (std::nothrow) TQCloudAuth::AzureParams());
  if (!azureParams) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
  }
  st = azureParams->initializeParams(args);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  // Read once, for the transport, the cache and the assertion alike (by the
  // factory, when it made this provider).
  const ConfigSnapshot config = m_state->factoryConfig != nullptr
                                    ? std::move(*m_state->factoryConfig)
                                    : LoadConfig();
  m_state->factoryConfig.reset();
  st = TQCloudAuthLibAccess::InitCurl(*this, config);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  AzureProviderState& state = *m_state;
  state.algorithm = AssertionAlgorithm::kRs256;
  state.algorithmValid =
      !config.ini->Get(kAssertionAlgorithmSection, kAssertionAlgorithmKey,
                       state.algorithmText) ||
      ParseAssertionAlgorithm(state.algorithmText, state.algorithm);
  std::string text;
  int64_t maxScopes = TQCloudAuth::TokenCache::kDefaultMaxScopes;
  if (config.ini->Get(kCacheSection, kMaxScopesKey, text) &&
      !ParseDecimal(text, 1, TQCloudAuth::TokenCache::kMostMaxScopes,
                    maxScopes)) {
    event.DebugLvl("Init", EvDebug::kWarning,
                   "Warning: [%s] %s [%s] is not a number from 1 to %zu; "
                   "using %zu",
                   kCacheSection, kMaxScopesKey, text.substr(0, 32).c_str(),
                   TQCloudAuth::TokenCache::kMostMaxScopes,
                   TQCloudAuth::TokenCache::kDefaultMaxScopes);
  }
  state.cache =
      std::make_unique<TQCloudAuth::TokenCache>(static_cast<size_t>(maxScopes));
  const StoreSettings stores = ReadStoreSettings(config);
  state.sharingProblem = stores.sharingProblem;
  state.storeKnown = !stores.urlProblem.IsError();
  if (state.stored && state.storeKnown && !stores.databaseUrl.empty()) {
    state.storeDatabase = PgDatabase::Of(stores.databaseUrl);
  }
  if (!stores.sharingProblem.IsError()) {
    state.shared =
        SharedTokens::For(stores.sharing, TqHome().Path(), stores.databaseUrl);
  }
  auto first = std::make_shared<TQCloudAuth::CredentialSnapshot>();
  first->params = azureParams.get();
  first->storedPassword = args.password;
  first->rowInfo = state.rowInfo;
  {
    std::lock_guard<std::mutex> lock(state.credentialMutex);
    state.credential = std::move(first);
  }
  initialized = true;
  return CKoError::Success();
}

CKoError TQCloudAuthAzureLib::getAuthToken(
    const TQCloudAuth::GetAuthTokenArgs* args,
    TQCloudAuth::GetAuthTokenRet* ret) {
  if (!initialized) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "TQCloudAuthLib is not initialized");
  }
  if (args == nullptr || !args->azureArgs || ret == nullptr || !azureParams ||
      !params) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInvalidArgument,
                                   "Invalid Arguments");
  }
  using Steady = std::chrono::steady_clock;
  AzureProviderState& state = *m_state;
  // One pointer captured: the fetch fits std::function's inline storage, so
  // a hit allocates nothing.
  struct Fetching {
    TQCloudAuthAzureLib* lib;
    const std::string& scope;
    Steady::duration requestTime{};
    SharedTokens::Source source = SharedTokens::Source::kAlone;
  } fetching{this, args->azureArgs->scope};
  TQCloudAuth::GetOutcome outcome;
  CKoError st = state.cache->Get(
      fetching.scope, clock,
      [f = &fetching](FetchedToken& out) {
        const Steady::time_point sent = Steady::now();
        CKoError fetched =
            AzureProviderAccess::FetchToken(*f->lib, f->scope, out, f->source);
        f->requestTime = Steady::now() - sent;
        return fetched;
      },
      *ret, &outcome);
  const bool fromShared =
      outcome.fetched && fetching.source == SharedTokens::Source::kShared;
  if (outcome.fetched && state.shared != nullptr) {
    if (fromShared) {
      ++state.sharedHits;
    } else if (fetching.source == SharedTokens::Source::kAlone) {
      ++state.sharedFallbacks;
    }
  }

  const auto micros = [](Steady::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  };
  const bool hit = outcome.cause == TQCloudAuth::FetchCause::kNone;
  if (hit) {
    state.CountHit();
  } else {
    ++state.misses;
  }
  if (outcome.cause == TQCloudAuth::FetchCause::kEarlyRefresh) {
    ++state.earlyRefreshes;
    state.earlyRefreshFailures += outcome.servedCached ? 1 : 0;
  }
  // A hit never holds the longest call: the clock and the shared maximum
  // are left to calls that left the lock-free path.
  if (outcome.slowSince != Steady::time_point{}) {
    const int64_t took = micros(Steady::now() - outcome.slowSince);
    int64_t longest = state.longestCallMicros.load();
    while (took > longest &&
           !state.longestCallMicros.compare_exchange_weak(longest, took)) {
    }
  }
  if (st.IsError()) {
    ++state.failures;
    const auto reason = static_cast<size_t>(st.GetReason());
    if (reason < TQCloudAuth::AzureCounters::kReasons) {
      ++state.failuresByReason[reason];
    }
  }
  // Written only when it changes: a run of hits leaves the line shared.
  const auto note = [](std::atomic<bool>& flag, bool value) {
    if (flag.load(std::memory_order_relaxed) != value) {
      flag.store(value, std::memory_order_relaxed);
    }
  };
  note(state.lastCallFromCache, !st.IsError() && hit);
  note(state.lastCallFromShared, !st.IsError() && fromShared);
  if (outcome.fetched && !fromShared) {
    std::lock_guard<std::mutex> lock(state.lastMutex);
    state.lastRequestCause = CauseOf(outcome.cause);
    state.lastRequestMicros = micros(fetching.requestTime);
  }
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

TQCloudAuth::AzureCounters TQCloudAuthAzureLib::getCounters() const {
  const AzureProviderState& state = *m_state;
  TQCloudAuth::AzureCounters out;
  out.cacheHits = state.Hits();
  out.cacheMisses = state.misses.load();
  out.calls = out.cacheHits + out.cacheMisses;
  out.requests = state.requests.load();
  out.failures = state.failures.load();
  for (size_t i = 0; i < out.failuresByReason.size(); ++i) {
    out.failuresByReason[i] = state.failuresByReason[i].load();
  }
  out.throttledCalls = state.throttledCalls.load();
  out.earlyRefreshes = state.earlyRefreshes.load();
  out.earlyRefreshFailures = state.earlyRefreshFailures.load();
  out.sharedHits = state.sharedHits.load();
  out.sharedFallbacks = state.sharedFallbacks.load();
  out.longestCallMicros = state.longestCallMicros.load();
  out.lastCallFromCache = state.lastCallFromCache.load();
  out.lastCallFromShared = state.lastCallFromShared.load();
  std::lock_guard<std::mutex> lock(m_state->lastMutex);
  out.lastRequestCause = state.lastRequestCause;
  out.lastRequestMicros = state.lastRequestMicros;
  return out;
}

void TQCloudAuth::AzureProviderState::CountHit() {
  // Threads take stripes in turn, each its own for its life.
  static std::atomic<size_t> next{0};
  static thread_local const size_t stripe =
      next.fetch_add(1, std::memory_order_relaxed) % kHitStripes;
  hitStripes[stripe].hits.fetch_add(1, std::memory_order_relaxed);
}

uint64_t TQCloudAuth::AzureProviderState::Hits() const {
  uint64_t sum = 0;
  for (const HitStripe& s : hitStripes) {
    sum += s.hits.load(std::memory_order_relaxed);
  }
  return sum;
}

TQCloudAuth::TokenCache& AzureProviderAccess::Cache(TQCloudAuthAzureLib& lib) {
  return *lib.m_state->cache;
}

void AzureProviderAccess::RememberStored(TQCloudAuthAzureLib& lib, int assocId,
                                         int entity, const std::string& rowInfo,
                                         const ConfigSnapshot& config) {
  AzureProviderState& state = *lib.m_state;
  state.factoryConfig = std::make_unique<ConfigSnapshot>(config);
  state.stored = true;
  state.assocId = assocId;
  state.entity = entity;
  state.rowInfo = rowInfo;
}
