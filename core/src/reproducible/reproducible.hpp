// The algorithms behind the _varlix module: continuous laws from densities,
// CDFs and histograms, discrete laws, statistics, and the multivariate
// samplers (rejection on a box, Metropolis-Hastings, HMC, Gibbs, copulas).
//
// What this face promises: reproducibility bit for bit. A seeded call gives
// the same words on every machine and compiler the project supports: the
// generator is ChaCha with a fixed key schedule, the arithmetic is plain
// IEEE double with no contraction into FMA (-ffp-contract=off) and no
// reassociation, and every result, message and seeded output is part of the
// module's documented interface. Changing a documented result is a break of
// that interface, whatever it gains in speed.
//
// Only this folder and common/ are visible here: an include of the engine
// face fails to build.
#pragma once

#include "continuous/cdf.hpp"
#include "continuous/histogram.hpp"
#include "continuous/sampler.hpp"
#include "continuous/stats.hpp"
#include "continuous/tdr.hpp"
#include "discrete/custom.hpp"
#include "error.hpp"
#include "multivar/cdf_mc.hpp"
#include "multivar/copula.hpp"
#include "multivar/gibbs.hpp"
#include "multivar/hmc.hpp"
#include "multivar/mcmc.hpp"
#include "multivar/rejection.hpp"
