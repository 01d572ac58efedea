# orvel_adaptive() against the best single bandwidth of the same ladder:
# mean squared error and PSNR on piecewise-smooth and smooth test images
# with Gaussian noise, over a grid of gamma, then the time of the default
# ladder (8 bandwidths, 4 half windows and the full one) on an n x n grid,
# with gamma given and with the default (chosen by leave-one-out CV).
#
#   R_LIBS=build/rlib Rscript bench/adaptive.R [n = 2000] [reps = 3] [image side = 160]
#
# Prints, per image and noise level, the best fixed bandwidth's MSE, the
# adaptive fit's MSE over gamma as a ratio to it (medians over `reps`
# noise draws), and the PSNR (peak = the truth's range) of both.
library(orvel)
args <- commandArgs(TRUE)
big <- if (length(args) >= 1) as.integer(args[1]) else 2000L
reps <- if (length(args) >= 2) as.integer(args[2]) else 3L
side <- if (length(args) >= 3) as.integer(args[3]) else 160L

images <- function(n) {
  i <- row(matrix(0, n, n)) / n
  j <- col(matrix(0, n, n)) / n
  list(
    # Flat regions, a disc, steps and a smooth wave.
    piecewise = ifelse((i - 0.3)^2 + (j - 0.35)^2 < 0.04, 3, 0) +
      ifelse(j > 0.7, 2 * sin(i * 20), 0) + ifelse(i > 0.75 & j < 0.6, -2, 0) +
      ifelse(i < 0.2 & j > 0.45 & j < 0.7, 1.5, 0),
    # Squares and a ramp: straight edges.
    blocks = 2 * ((floor(i * 4) + floor(j * 4)) %% 2) + ifelse(i > 0.5, 3 * (j - 0.5), 0),
    # Smooth surfaces.
    wave = 2 * sin(6 * i) * cos(5 * j) + 1.5 * i,
    bumps = 3 * exp(-((i - 0.4)^2 + (j - 0.6)^2) / 0.05) - 2 * exp(-((i - 0.7)^2 + (j - 0.2)^2) / 0.02)
  )
}

gammas <- c(0.75, 1, 1.25, 1.5, 2, 2.5)
psnr <- function(mse, truth) 10 * log10(diff(range(truth))^2 / mse)
set.seed(28)
ladder <- formals(orvel_adaptive)$bandwidths
ladder <- eval(ladder)
cat(sprintf("ladder: %s\n", paste(format(ladder, digits = 3), collapse = " ")))
res <- list()
for (nm in names(images(side))) {
  truth <- images(side)[[nm]]
  for (sd in c(0.25, 0.5, 1)) {
    r <- replicate(reps, {
      z <- truth + rnorm(length(truth), sd = sd)
      mse <- function(f) mean((f - truth)^2)
      fixed <- vapply(ladder, function(b) mse(orvel_fit(z, orvel_kernel("gaussian", b))$F), 0)
      ad <- vapply(gammas, function(g) mse(orvel_adaptive(z, gamma = g)$F), 0)
      cv <- orvel_adaptive(z)
      c(best = min(fixed), bw = ladder[which.min(fixed)], ad / min(fixed),
        cv = mse(cv$F) / min(fixed), cvgamma = cv$gamma)
    })
    m <- apply(r, 1, stats::median)
    names(m) <- c("best", "bw", paste0("g", gammas), "cv", "cvgamma")
    res[[paste(nm, sd)]] <- m
    cat(sprintf("%-9s sd %.2f  best fixed bw %.2f MSE %.4f (PSNR %.1f dB)  ratio by gamma: %s  default (CV, gamma %.2f): ratio %.3f, PSNR %.1f dB\n",
                nm, sd, m[["bw"]], m[["best"]], psnr(m[["best"]], truth),
                paste(sprintf("%s:%.3f", gammas, m[paste0("g", gammas)]), collapse = " "),
                m[["cvgamma"]], m[["cv"]], psnr(m[["best"]] * m[["cv"]], truth)))
  }
}
tab <- do.call(rbind, res)
cat("\nmedian ratio over images and noise levels, by gamma:\n")
cols <- c(paste0("g", gammas), "cv")
print(round(apply(tab[, cols], 2, stats::median), 3))
cat("worst ratio by gamma:\n")
print(round(apply(tab[, cols], 2, max), 3))

# Speed: the default ladder on a big x big grid, threads as the option says.
set.seed(1)
z <- outer(seq_len(big), seq_len(big), function(i, j) sin(i / 50) + cos(j / 40)) +
  rnorm(big * big, sd = 0.3)
times <- replicate(3, system.time(orvel_adaptive(z, gamma = 1.5))[["elapsed"]])
one <- system.time(orvel_fit(z, orvel_kernel("gaussian", 6), se = TRUE))[["elapsed"]]
cat(sprintf("\norvel_adaptive on %d x %d, 8 bandwidths x 5 windows, gamma 1.5, %d threads: median %.2f s (runs %s); one fit with se at bandwidth 6: %.2f s\n",
            big, big, getOption("orvel.threads", orvel_threads()), stats::median(times),
            paste(sprintf("%.2f", times), collapse = " "), one))
cvt <- system.time(orvel_adaptive(z))[["elapsed"]]
cat(sprintf("with gamma chosen by cross-validation (the default): %.2f s\n", cvt))
