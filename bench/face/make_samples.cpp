// Writes N distinct 160 x 160 grey sample images into a directory, for the start-up benchmark.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s COUNT DIR\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const std::filesystem::path dir = argv[2];
    std::filesystem::create_directories(dir);
    cv::RNG rng(12345);
    for (int i = 0; i < count; ++i) {
        // Smoothed noise has the mix of edges and flat areas an LBP histogram sees in a face crop.
        cv::Mat image(160, 160, CV_8UC1);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(image, image, cv::Size(0, 0), 1.5);
        char name[32];
        std::snprintf(name, sizeof name, "sample_%04d.png", i);
        if (!cv::imwrite((dir / name).string(), image)) {
            std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
            return 1;
        }
    }
    return 0;
}
