# Smooths a noisy copy of R's volcano with the kernel chosen by leave-one-out
# cross-validation, and draws truth, noisy input, smooth, gradient field, CV
# curves and the remaining error into out/volcano.png.
#
#   make demo        (or, with the package installed: Rscript examples/volcano.R)
library(orvel)

set.seed(42)
truth <- volcano
z <- truth + matrix(rnorm(length(truth), sd = 5), nrow(truth))
ny <- nrow(z); nx <- ncol(z)

sel <- orvel_select(z, type = c("gaussian", "epanechnikov", "tricube"))
fit <- orvel_fit(z, sel$kernel)
rms <- function(e) sqrt(mean(e^2))

# What the truth would have picked among the same candidates, for comparison.
hindsight <- sapply(seq_len(nrow(sel$table)), function(i)
  rms(orvel_fit(z, orvel_kernel(sel$table$type[i], sel$table$rows[i], size = 7))$F - truth))
h <- which.min(hindsight)

cat(sprintf("grid %d x %d, noise sd 5 (RMS %.2f)\n", ny, nx, rms(z - truth)))
cat(sprintf("chosen by CV: %s kernel, bandwidth %g node steps (CV score %.2f)\n",
            sel$type, sel$bandwidth, sel$cv))
cat(sprintf("RMS error of the smooth against the truth: %.2f\n", rms(fit$F - truth)))
cat(sprintf("best in hindsight: %s, bandwidth %g, RMS error %.2f\n",
            sel$table$type[h], sel$table$rows[h], hindsight[h]))

# Slopes per node step: along the rows (drawn horizontally by image()) and
# along the columns.
s <- orvel_slopes(fit)
gy <- s$rows
gx <- s$columns
gmag <- sqrt(gy^2 + gx^2)

dir.create("out", showWarnings = FALSE)
png("out/volcano.png", width = 1500, height = 900, res = 110, type = "cairo")
par(mfrow = c(2, 3), mar = c(3, 3, 3, 1), mgp = c(1.8, 0.6, 0))
pal <- hcl.colors(64, "Terrain")
lim <- range(truth, z)
show <- function(m, title, col = pal, zlim = lim) {
  image(1:ny, 1:nx, m, col = col, zlim = zlim, asp = 1, main = title,
        xlab = "row", ylab = "column", useRaster = TRUE)
}
show(truth, "truth: volcano")
contour(1:ny, 1:nx, truth, add = TRUE, drawlabels = FALSE, col = "grey30", nlevels = 8)
show(z, "input: volcano + noise (sd 5)")
show(fit$F, sprintf("smooth: %s, bandwidth %g", sel$type, sel$bandwidth))
contour(1:ny, 1:nx, fit$F, add = TRUE, drawlabels = FALSE, col = "grey30", nlevels = 8)
show(gmag, "gradient: magnitude and direction", col = hcl.colors(64, "Inferno"), zlim = range(gmag))
at <- expand.grid(iy = seq(3, ny, by = 5), ix = seq(3, nx, by = 5))
len <- 2.2 / max(gmag)
arrows(at$iy, at$ix, at$iy + len * gy[as.matrix(at)], at$ix + len * gx[as.matrix(at)],
       length = 0.04, col = "white")
plot(sel, main = "leave-one-out CV (choice ringed)")
err <- fit$F - truth
e <- max(abs(err))
show(err, sprintf("smooth - truth (RMS %.2f)", rms(err)), col = hcl.colors(64, "Blue-Red 3"),
     zlim = c(-e, e))
invisible(dev.off())
cat("wrote out/volcano.png\n")
