// The engine behind the varlix package: every table, sampler and chain the
// package's distributions, varlix.sampling and varlix.mcmc are built on.
//
// What this face promises: speed, and accuracy to a stated error. A table
// is built only when it meets its u-resolution (|F(ppf(u)) - u| below it),
// and a setup that cannot be sure reports why (SetupError) instead of
// returning a table. Uniforms come from the caller's UniformSource (NumPy's
// bit generators in the package), so the same source gives the same draws;
// the arithmetic is chosen for speed within the stated error, not frozen as
// part of an interface.
//
// Only this folder and common/ are visible here: an include of the
// reproducible face fails to build.
#pragma once

#include "continuous/hinv.hpp"
#include "continuous/moment_integrals.hpp"
#include "continuous/pinv.hpp"
#include "continuous/rou.hpp"
#include "continuous/srou.hpp"
#include "continuous/tdr_squeeze.hpp"
#include "discrete/alias.hpp"
#include "discrete/guide_table.hpp"
#include "multivar/chain_runner.hpp"
#include "multivar/gaussian_copula_inversion.hpp"
