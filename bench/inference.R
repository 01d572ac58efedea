# What the standard errors and the fit's statistics cost, and whether they
# are right, in one run:
#  - orvel_fit() alone, with se = TRUE (the standard errors of every
#    coefficient and the statistics), and sigma() of a fit without them (a
#    pass for the statistics alone), medians of seven runs alternating, on
#    one and on two threads: a plane on the exact engine's 7 x 7 and a
#    quadratic on 11 x 11;
#  - locfit's local linear fit with the same statistics, on a smaller grid;
#  - a longer simulation than the tests': a known quadratic surface plus
#    noise, many replicates, the empirical standard deviation of every
#    coefficient against the predicted standard error, and the coverage of
#    95% intervals.
#
#   make rpkg-install && R_LIBS=build/rlib Rscript bench/inference.R [n] [replicates]
#   (default: a 2000 x 2000 grid, 1000 replicates)
library(orvel)
args <- commandArgs(trailingOnly = TRUE)
n <- if (length(args) >= 1) as.integer(args[1]) else 2000L
reps <- if (length(args) >= 2) as.integer(args[2]) else 1000L
cpu <- sub(".*: ", "", grep("^model name", readLines("/proc/cpuinfo"), value = TRUE)[1])
cat(sprintf("orvel %s, R %s, %s, %d cores, engine: %s\n", packageVersion("orvel"),
            getRversion(), cpu, parallel::detectCores(), orvel_isa()$level))

set.seed(1)
z <- matrix(rnorm(n * n), n, n)
models <- list("plane, gaussian 1.5 (7 x 7)" = list(K = orvel_kernel("gaussian", 1.5), degree = 1),
               "quadratic, gaussian 2.5 (11 x 11)" = list(K = orvel_kernel("gaussian", 2.5, size = 11),
                                                        degree = 2))
cat(sprintf("\ngrid %d x %d, medians of 7 runs (seconds, Mnodes/s, ratio to the fit alone)\n", n, n))
for (nm in names(models)) for (th in 1:2) {
  m <- models[[nm]]
  f0 <- orvel_fit(z, m$K, degree = m$degree, threads = th)
  runs <- list(fit = function() orvel_fit(z, m$K, degree = m$degree, threads = th),
               "fit, se = TRUE" = function() orvel_fit(z, m$K, degree = m$degree, se = TRUE, threads = th),
               "sigma() of a fit" = function() { options(orvel.threads = th); sigma(f0) })
  t <- matrix(NA_real_, 7, length(runs), dimnames = list(NULL, names(runs)))
  for (r in 1:7) for (k in seq_along(runs)) {
    invisible(gc())
    t[r, k] <- system.time(runs[[k]]())[["elapsed"]]
  }
  options(orvel.threads = NULL)
  med <- apply(t, 2, median)
  cat(sprintf("%s, %d thread%s\n", nm, th, if (th > 1) "s" else ""))
  for (k in names(med))
    cat(sprintf("  %-22s %.3f s %7.1f Mnodes/s  %.2f\n", k, med[[k]], n * n / med[[k]] / 1e6,
                med[[k]] / med[["fit"]]))
}

if (requireNamespace("locfit", quietly = TRUE)) {
  k <- 120L
  zz <- volcano[1:80, 1:60]
  zz <- matrix(rnorm(k * k, sd = 5), k, k) + 100
  h <- 3.5
  d <- outer(-3:3, -3:3, function(a, b) sqrt(a^2 + b^2))
  K <- ifelse(d < h, (1 - (d / h)^3)^3, 0)
  g <- expand.grid(r = seq_len(k), c = seq_len(k))
  g$z <- as.vector(zz)
  tl <- system.time(lf <- locfit::locfit(z ~ locfit::lp(r, c, h = h, deg = 1, scale = FALSE),
                                         data = g, ev = locfit::dat(), kern = "tcub",
                                         maxk = 1e5))[["elapsed"]]
  to <- system.time(s <- summary(orvel_fit(zz, K, se = TRUE)))[["elapsed"]]
  cat(sprintf("\nlocal linear, tricube radius 3.5, %d x %d: locfit %.2f s, orvel (se = TRUE and summary) %.3f s\n",
              k, k, tl, to))
  cat(sprintf("  tr L %.6f / %.6f, tr L'L %.6f / %.6f, sigma^2 %.6f / %.6f (locfit / orvel)\n",
              lf$dp[["df1"]], s$edf[[1]], lf$dp[["df2"]], s$edf[[2]], lf$dp[["rv"]], s$sigma^2))
}

# The simulation.
ny <- 60; nx <- 50
y <- outer(seq_len(ny), rep(1, nx)) / 10; x <- outer(rep(1, ny), seq_len(nx)) / 10
truth <- 3 + 2 * y - x + 0.5 * y^2 + 0.3 * x * y - 0.2 * x^2
cat(sprintf("\nsimulation: %d x %d grid, quadratic surface + N(0, 0.7^2), %d replicates\n", ny, nx, reps))
for (m in list(list(K = orvel_kernel("gaussian", 1.5), degree = 2, na = FALSE),
               list(K = orvel_kernel("tricube", 3), degree = 2, na = TRUE))) {
  hole <- function(v) { if (m$na) v[20:26, 15:19] <- NA; v }
  mean_fit <- coef(orvel_fit(hole(truth), m$K, degree = m$degree, na.rm = TRUE))
  p <- dim(mean_fit)[3]
  b <- se <- array(NA_real_, c(ny, nx, p, reps))
  for (r in seq_len(reps)) {
    f <- orvel_fit(hole(truth + rnorm(ny * nx, sd = 0.7)), m$K, degree = m$degree,
                   na.rm = TRUE, se = TRUE)
    b[, , , r] <- coef(f)
    se[, , , r] <- f$se
  }
  cat(sprintf("%s %d x %d, degree %d%s\n", if (m$na) "tricube" else "gaussian", nrow(m$K),
              ncol(m$K), m$degree, if (m$na) ", a 7 x 5 void, na.rm = TRUE" else ""))
  for (k in seq_len(p)) {
    emp <- apply(b[, , k, ], 1:2, sd)
    pred <- apply(se[, , k, ], 1:2, mean)
    cover <- mean(abs(b[, , k, ] - as.vector(mean_fit[, , k])) <= qnorm(0.975) * se[, , k, ],
                  na.rm = TRUE)
    cat(sprintf("  %-12s median sd / se %.4f   95%% coverage %.4f\n", dimnames(mean_fit)[[3]][k],
                median(emp / pred, na.rm = TRUE), cover))
  }
}
