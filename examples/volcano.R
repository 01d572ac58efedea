# Smooths R's volcano with a Gaussian kernel through the raw .C binding and
# draws the surface, the smooth and the gradient magnitude to out/volcano.png.
libdir <- Sys.getenv("ORVEL_LIBDIR", "build")
dyn.load(file.path(libdir, "orvel-fit.so"))

z <- volcano + matrix(rnorm(length(volcano), sd = 2), nrow(volcano))
ny <- nrow(z); nx <- ncol(z)
K <- outer(-3:3, -3:3, function(dy, dx) exp(-(dx^2 + dy^2) / (2 * 1.5^2)))
r <- .C("localPolynomials", as.double(z), as.integer(ny), as.integer(nx), as.double(K),
        F = double(ny * nx), gFx = double(ny * nx), gFy = double(ny * nx))
F <- matrix(r$F, ny, nx)
# Slopes are per whole grid extent; divide by the dimension for per-node steps.
grad <- sqrt((matrix(r$gFx, ny, nx) / ny)^2 + (matrix(r$gFy, ny, nx) / nx)^2)

cat(sprintf("grid %d x %d, RMS noise %.2f, RMS error of the smooth %.2f, max slope %.2f per node\n",
            ny, nx, sqrt(mean((z - volcano)^2)), sqrt(mean((F - volcano)^2)), max(grad)))

dir.create("out", showWarnings = FALSE)
png("out/volcano.png", width = 1200, height = 420, type = "cairo")
par(mfrow = c(1, 3), mar = c(2, 2, 3, 1))
pal <- hcl.colors(64, "Terrain")
image(z, col = pal, main = "volcano + noise", axes = FALSE)
image(F, col = pal, main = "local linear smooth", axes = FALSE)
image(grad, col = hcl.colors(64, "Inferno"), main = "gradient magnitude", axes = FALSE)
invisible(dev.off())
cat("wrote out/volcano.png\n")
