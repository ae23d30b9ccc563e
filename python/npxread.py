"""Reader for converted erp2npx trees."""
