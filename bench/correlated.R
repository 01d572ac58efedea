# Statistics under correlated noise, the longer runs behind the tests of
# rpkg/tests/testthat/test-correlated.R and test-bands.R (medians over
# seeds). Run from the repository root with the package installed:
#   R_LIBS=build/rlib Rscript bench/correlated.R [seeds] [replicates]
library(orvel)
args <- commandArgs(TRUE)
seeds <- if (length(args) >= 1) as.integer(args[1]) else 8L
reps <- if (length(args) >= 2) as.integer(args[2]) else 150L
options(orvel.threads = 1L)

# Independent noise smoothed by a Gaussian of sd one node step, unit variance.
corr_noise <- function(ny, nx) {
  g <- dnorm(-4:4)
  g <- g / sqrt(sum(g^2))
  e <- matrix(rnorm((ny + 8) * (nx + 8)), ny + 8)
  e <- apply(e, 2, function(v) stats::filter(v, g))
  e <- t(apply(e, 1, function(v) stats::filter(v, g)))
  e[5:(ny + 4), 5:(nx + 4)]
}

# 1. Choosing the bandwidth on volcano: the choice's mean squared error
# against the true surface over the best candidate's.
bw <- c(0.5, 0.75, 1, 1.25, 1.5, 2, 2.5, 3, 4, 5, 6)
cat("1. volcano + noise of sd 5, Gaussian candidates", paste(bw, collapse = " "), "\n")
for (noise in c("correlated", "independent")) for (degree in 1:2) {
  r <- t(vapply(seq_len(seeds), function(seed) {
    set.seed(seed)
    z <- volcano + 5 * (if (noise == "correlated") corr_noise(87, 61) else matrix(rnorm(87 * 61), 87))
    m <- vapply(bw, function(b) mean((orvel_fit(z, orvel_kernel("gaussian", b), degree = degree)$F - volcano)^2), 0)
    t0 <- proc.time()[[3]]
    cv <- suppressWarnings(orvel_select(z, bandwidths = bw, degree = degree))
    t1 <- proc.time()[[3]]
    st <- suppressWarnings(orvel_select(z, bandwidths = bw, degree = degree, noise = "stationary"))
    t2 <- proc.time()[[3]]
    c(cv = m[match(cv$bandwidth, bw)] / min(m), gcv = m[match(bw[which.min(cv$table$gcv)], bw)] / min(m),
      risk = m[match(st$bandwidth, bw)] / min(m), time = (t2 - t1) / (t1 - t0))
  }, numeric(4)))
  cat(sprintf("  %s noise, degree %d: MSE / best candidate's, median of %d seeds: CV %.3f, GCV %.3f, risk %.3f (risk's range %.3f-%.3f); time stationary / iid %.2f\n",
              noise, degree, seeds, median(r[, 1]), median(r[, 2]), median(r[, 3]), min(r[, 3]), max(r[, 3]),
              median(r[, 4])))
}

# 2. Standard errors of the slopes: 60 x 50, quadratic truth, Gaussian 3,
# degree 2, noise correlated over a node step.
set.seed(29)
g <- expand.grid(i = 1:60, j = 1:50)
truth <- matrix(0.01 * (g$i - 30)^2 + 0.02 * (g$i - 30) * (g$j - 25) - 0.015 * (g$j - 25)^2 +
                  0.3 * g$i - 0.2 * g$j, 60)
K <- orvel_kernel("gaussian", 3)
node <- c(30, 25)
slope <- c(0.3, -0.2)
out <- t(replicate(reps, {
  z <- truth + corr_noise(60, 50)
  f <- orvel_fit(z, K, degree = 2, noise = "stationary")
  fi <- orvel_fit(z, K, degree = 2)
  c(coef(f)[node[1], node[2], 2:3], sqrt(diag(vcov(f, node[1], node[2]))[2:3]),
    sqrt(diag(vcov(fi, node[1], node[2]))[2:3]), sigma(fi))
}))
cat(sprintf("2. slopes at node (30, 25), %d replicates: sd/se stationary %.3f %.3f, iid %.3f %.3f; 95%% coverage stationary %.3f %.3f, iid %.3f %.3f; sigma-hat %.3f (true 1)\n",
            reps, sd(out[, 1]) / mean(out[, 3]), sd(out[, 2]) / mean(out[, 4]),
            sd(out[, 1]) / mean(out[, 5]), sd(out[, 2]) / mean(out[, 6]),
            mean(abs(out[, 1] - slope[1]) <= 1.96 * out[, 3]), mean(abs(out[, 2] - slope[2]) <= 1.96 * out[, 4]),
            mean(abs(out[, 1] - slope[1]) <= 1.96 * out[, 5]), mean(abs(out[, 2] - slope[2]) <= 1.96 * out[, 6]),
            median(out[, 7])))

# 3. Simultaneous bands under independent noise: 40 x 35, each replicate
# with its own band (nsim = 500).
set.seed(4)
g <- expand.grid(i = 1:40, j = 1:35)
truth <- matrix(0.01 * (g$i - 20)^2 - 0.02 * (g$i - 20) * (g$j - 17) + 0.3 * g$j, 40)
K <- orvel_kernel("gaussian", 2)
nb <- min(reps, 200L)
cover <- t(replicate(nb, {
  f <- orvel_fit(truth + rnorm(1400), K, degree = 2, se = TRUE)
  b <- confint(f, "(Intercept)", type = "simultaneous", nsim = 500)
  p <- confint(f, "(Intercept)")
  c(all(b[, , 1, 1] <= truth & truth <= b[, , 1, 2]), all(p[, , 1, 1] <= truth & truth <= p[, , 1, 2]))
}))
cat(sprintf("3. 95%% bands over every node of 40 x 35, %d replicates: simultaneous %.3f, pointwise %.3f\n",
            nb, mean(cover[, 1]), mean(cover[, 2])))
